#include "host/ui/UiSecurity.hpp"

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <fstream>

namespace galvoria::host::ui {
namespace {

std::string lowered(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c); });
    return out;
}

std::string extensionOf(std::string_view name) {
    const auto dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string() : lowered(name.substr(dot));
}

bool fillRandom(unsigned char* bytes, std::size_t count) {
    std::size_t got = 0;
    while (got < count) {
        const ssize_t read = ::getrandom(bytes + got, count - got, 0);
        if (read < 0 && errno == EINTR) {
            continue;
        }
        if (read <= 0) {
            break;
        }
        got += static_cast<std::size_t>(read);
    }
    if (got == count) {
        return true;
    }
    // A kernel without getrandom: the same source through its device.
    std::ifstream device("/dev/urandom", std::ios::binary);
    return static_cast<bool>(device.read(reinterpret_cast<char*>(bytes), static_cast<std::streamsize>(count)));
}

}  // namespace

std::string randomHex128() {
    std::array<unsigned char, 16> bytes{};
    if (!fillRandom(bytes.data(), bytes.size())) {
        return {};
    }
    std::string text;
    for (const unsigned char byte : bytes) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

bool sameSecret(std::string_view given, std::string_view expected) {
    // Every byte of the expected secret is looked at, whatever was given.
    unsigned difference = given.size() == expected.size() ? 0U : 1U;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto other = i < given.size() ? static_cast<unsigned char>(given[i]) : 0U;
        difference |= other ^ static_cast<unsigned char>(expected[i]);
    }
    return difference == 0 && !expected.empty();
}

bool hostAllowed(std::string_view host, std::uint16_t port) {
    const std::string suffix = ":" + std::to_string(port);
    return host == "127.0.0.1" + suffix || host == "localhost" + suffix;
}

bool originAllowed(std::string_view origin, std::uint16_t port) {
    const std::string suffix = ":" + std::to_string(port);
    return origin == "http://127.0.0.1" + suffix || origin == "http://localhost" + suffix;
}

std::optional<std::string> cookieValue(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        const auto end = std::min(header.find(';'), header.size());
        std::string_view pair = header.substr(0, end);
        header.remove_prefix(std::min(end + 1, header.size()));
        while (!pair.empty() && pair.front() == ' ') {
            pair.remove_prefix(1);
        }
        const auto equals = pair.find('=');
        if (equals != std::string_view::npos && pair.substr(0, equals) == name) {
            return std::string(pair.substr(equals + 1));
        }
    }
    return std::nullopt;
}

std::optional<std::string> fileNameProblem(std::string_view name) {
    constexpr std::size_t longestName = 255;
    if (name.empty()) {
        return "The file has no name.";
    }
    if (name == "." || name == "..") {
        return "A file cannot be named \"" + std::string(name) + "\".";
    }
    if (name.find('/') != std::string_view::npos || name.find('\0') != std::string_view::npos) {
        return "A file name cannot hold \"/\" or a NUL character.";
    }
    if (name.size() > longestName) {
        return "The file's name is longer than 255 bytes.";
    }
    return std::nullopt;
}

std::string photoType(std::string_view name) {
    const auto extension = extensionOf(name);
    if (extension == ".jpg" || extension == ".jpeg") return "image/jpeg";
    if (extension == ".png") return "image/png";
    if (extension == ".webp") return "image/webp";
    return "application/octet-stream";
}

bool hasThumbnail(std::string_view type) { return type == "image/jpeg" || type == "image/png" || type == "image/webp"; }

bool pageNameAllowed(std::string_view name) {
    return !name.empty() && name.front() != '.' && name.find('/') == std::string_view::npos &&
           name.find('\\') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

std::string pageType(std::string_view name) {
    const auto extension = extensionOf(name);
    if (extension == ".html") return "text/html; charset=utf-8";
    if (extension == ".css") return "text/css; charset=utf-8";
    if (extension == ".js" || extension == ".mjs") return "text/javascript; charset=utf-8";
    if (extension == ".svg") return "image/svg+xml";
    if (extension == ".png") return "image/png";
    if (extension == ".ico") return "image/x-icon";
    if (extension == ".json") return "application/json";
    if (extension == ".txt") return "text/plain; charset=utf-8";
    return "application/octet-stream";
}

}  // namespace galvoria::host::ui
