#include "devserver/Text.hpp"

#include <array>
#include <cctype>
#include <cstdio>
#include <ctime>

namespace galvoria::devserver {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isUnreserved(unsigned char c) { return std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~'; }

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int high = hexValue(text[i + 1]);
            int low = hexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                continue;
            }
        }
        out.push_back(text[i]);
    }
    return out;
}

std::string percentEncodeSegment(std::string_view text) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (isUnreserved(byte)) {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(digits[byte >> 4]);
            out.push_back(digits[byte & 0x0F]);
        }
    }
    return out;
}

std::string percentEncodePath(std::string_view text) {
    std::string out;
    std::size_t start = 0;
    while (true) {
        auto slash = text.find('/', start);
        out += percentEncodeSegment(text.substr(start, slash == std::string_view::npos ? slash : slash - start));
        if (slash == std::string_view::npos) break;
        out.push_back('/');
        start = slash + 1;
    }
    return out;
}

std::string htmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::string humanReadableSize(std::uint64_t bytes) {
    if (bytes < 1000) return std::to_string(bytes) + " B";
    static constexpr std::array<const char*, 5> units{"KB", "MB", "GB", "TB", "PB"};
    double value = static_cast<double>(bytes) / 1000.0;
    std::size_t unit = 0;
    while (value >= 999.95 && unit + 1 < units.size()) {
        value /= 1000.0;
        ++unit;
    }
    std::array<char, 32> text{};
    std::snprintf(text.data(), text.size(), "%.1f %s", value, units[unit]);
    return text.data();
}

std::size_t codePointCount(std::string_view text) {
    std::size_t count = 0;
    for (char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
    }
    return count;
}

std::string trimmed(std::string_view text) {
    auto isTrimmed = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\0' || c == '\v'; };
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && isTrimmed(text[begin])) ++begin;
    while (end > begin && isTrimmed(text[end - 1])) --end;
    return std::string(text.substr(begin, end - begin));
}

std::string printable(std::string_view text, std::size_t maxLength) {
    std::string out;
    for (char c : text.substr(0, maxLength)) {
        auto byte = static_cast<unsigned char>(c);
        out.push_back(byte < 0x20 || byte > 0x7E ? '?' : c);
    }
    if (text.size() > maxLength) out += "...";
    return out;
}

std::optional<std::uint64_t> parseDecimal(std::string_view text) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

namespace {

std::string formatUtc(Clock::time_point time, const char* format) {
    std::time_t seconds = Clock::to_time_t(time);
    std::tm parts{};
    gmtime_r(&seconds, &parts);
    std::array<char, 64> text{};
    auto length = std::strftime(text.data(), text.size(), format, &parts);
    return std::string(text.data(), length);
}

}  // namespace

std::string isoTime(Clock::time_point time) { return formatUtc(time, "%Y-%m-%dT%H:%M:%SZ"); }

std::optional<Clock::time_point> parseIsoTime(std::string_view text) {
    std::tm parts{};
    std::string copy(text);
    const char* end = strptime(copy.c_str(), "%Y-%m-%dT%H:%M:%SZ", &parts);
    if (end == nullptr || *end != '\0') return std::nullopt;
    return Clock::from_time_t(timegm(&parts));
}

std::string compactTime(Clock::time_point time) { return formatUtc(time, "%Y%m%dT%H%M%SZ"); }

std::string displayTime(std::string_view isoText) {
    auto time = parseIsoTime(isoText);
    return time ? formatUtc(*time, "%Y-%m-%d %H:%M UTC") : std::string(isoText);
}

std::string contentTypeForFileName(std::string_view fileName) {
    auto dot = fileName.rfind('.');
    if (dot == std::string_view::npos) return "application/octet-stream";
    std::string extension;
    for (char c : fileName.substr(dot + 1)) extension.push_back(lowerAscii(c));
    static const std::array<std::pair<const char*, const char*>, 17> types{{
        {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},
        {"tif", "image/tiff"},
        {"tiff", "image/tiff"},
        {"png", "image/png"},
        {"gif", "image/gif"},
        {"webp", "image/webp"},
        {"heic", "image/heic"},
        {"heif", "image/heif"},
        {"avif", "image/avif"},
        {"dng", "image/x-adobe-dng"},
        {"psd", "image/vnd.adobe.photoshop"},
        {"pdf", "application/pdf"},
        {"mp4", "video/mp4"},
        {"mov", "video/quicktime"},
        {"json", "application/json"},
        {"txt", "text/plain"},
    }};
    for (const auto& [suffix, type] : types) {
        if (extension == suffix) return type;
    }
    return "application/octet-stream";
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) return false;
    }
    return true;
}

}  // namespace galvoria::devserver
