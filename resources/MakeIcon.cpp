// Draws the publish action's icon and writes it as an Apple icon image ("icns") holding one
// 128x128 PNG: a blue disc with a white upward arrow over a tray, the sign of publishing.
//
// The PNG is written with uncompressed deflate blocks, so no compression library is needed.

#include <array>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t crc32(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1U) != 0 ? 0xEDB88320U ^ (c >> 1U) : c >> 1U;
            }
            t[n] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) {
        crc = table[(crc ^ data[i]) & 0xFFU] ^ (crc >> 8U);
    }
    return ~crc;
}

void putBigEndian(Bytes& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<std::uint8_t>(value >> static_cast<unsigned>(shift)));
    }
}

void chunk(Bytes& png, const char* type, const Bytes& data) {
    putBigEndian(png, static_cast<std::uint32_t>(data.size()));
    Bytes body(type, type + 4);
    body.insert(body.end(), data.begin(), data.end());
    png.insert(png.end(), body.begin(), body.end());
    putBigEndian(png, crc32(body.data(), body.size()));
}

Bytes zlibStored(const Bytes& raw) {
    Bytes out{0x78, 0x01};
    std::size_t offset = 0;
    do {
        const std::size_t length = std::min<std::size_t>(65535, raw.size() - offset);
        const bool last = offset + length == raw.size();
        out.push_back(last ? 1 : 0);
        out.push_back(static_cast<std::uint8_t>(length & 0xFFU));
        out.push_back(static_cast<std::uint8_t>(length >> 8U));
        out.push_back(static_cast<std::uint8_t>(~length & 0xFFU));
        out.push_back(static_cast<std::uint8_t>((~length >> 8U) & 0xFFU));
        out.insert(out.end(), raw.begin() + static_cast<std::ptrdiff_t>(offset),
                   raw.begin() + static_cast<std::ptrdiff_t>(offset + length));
        offset += length;
    } while (offset < raw.size());
    std::uint32_t a = 1;
    std::uint32_t b = 0;
    for (const std::uint8_t byte : raw) {
        a = (a + byte) % 65521U;
        b = (b + a) % 65521U;
    }
    putBigEndian(out, (b << 16U) | a);
    return out;
}

// Coverage of a pixel by the drawing: 0 background, 1 disc, 2 white mark.
int paint(double x, double y, double size) {
    const double c = size / 2.0;
    const double dx = x - c;
    const double dy = y - c;
    if (std::hypot(dx, dy) > size * 0.46) {
        return 0;
    }
    const double u = dx / size;  // -0.5 .. 0.5
    const double v = dy / size;
    const bool shaft = std::abs(u) < 0.055 && v > -0.16 && v < 0.14;
    const bool head = v > -0.30 && v <= -0.12 && std::abs(u) < (v + 0.30) * 1.05;
    const bool tray =
        (v > 0.20 && v < 0.27 && std::abs(u) < 0.25) || (std::abs(std::abs(u) - 0.215) < 0.035 && v > 0.08 && v < 0.27);
    return shaft || head || tray ? 2 : 1;
}

Bytes drawPng(int size) {
    Bytes raw;
    raw.reserve(static_cast<std::size_t>(size) * (static_cast<std::size_t>(size) * 4 + 1));
    for (int y = 0; y < size; ++y) {
        raw.push_back(0);  // no filter
        for (int x = 0; x < size; ++x) {
            // Four samples per pixel for smooth edges.
            int disc = 0;
            int mark = 0;
            for (const double oy : {0.25, 0.75}) {
                for (const double ox : {0.25, 0.75}) {
                    const int p = paint(x + ox, y + oy, size);
                    disc += p >= 1 ? 1 : 0;
                    mark += p == 2 ? 1 : 0;
                }
            }
            const double t = static_cast<double>(y) / size;
            const double blueR = 30 + 20 * t;
            const double blueG = 110 - 40 * t;
            const double blueB = 220 - 30 * t;
            const double m = mark / 4.0;
            raw.push_back(static_cast<std::uint8_t>(blueR * (1 - m) + 255 * m));
            raw.push_back(static_cast<std::uint8_t>(blueG * (1 - m) + 255 * m));
            raw.push_back(static_cast<std::uint8_t>(blueB * (1 - m) + 255 * m));
            raw.push_back(static_cast<std::uint8_t>(255 * disc / 4));
        }
    }
    Bytes png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes header;
    putBigEndian(header, static_cast<std::uint32_t>(size));
    putBigEndian(header, static_cast<std::uint32_t>(size));
    header.insert(header.end(), {8, 6, 0, 0, 0});  // 8-bit RGBA
    chunk(png, "IHDR", header);
    chunk(png, "IDAT", zlibStored(raw));
    chunk(png, "IEND", {});
    return png;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        std::cerr << "usage: make-icon OUTPUT.icns [OUTPUT.png]\n";
        return 2;
    }
    const Bytes png = drawPng(128);
    Bytes icns{'i', 'c', 'n', 's'};
    putBigEndian(icns, static_cast<std::uint32_t>(8 + 8 + png.size()));
    icns.insert(icns.end(), {'i', 'c', '0', '7'});  // 128x128 PNG
    putBigEndian(icns, static_cast<std::uint32_t>(8 + png.size()));
    icns.insert(icns.end(), png.begin(), png.end());
    std::ofstream(argv[1], std::ios::binary)
        .write(reinterpret_cast<const char*>(icns.data()), static_cast<std::streamsize>(icns.size()));
    if (argc == 3) {
        std::ofstream(argv[2], std::ios::binary)
            .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
    }
    return 0;
}
