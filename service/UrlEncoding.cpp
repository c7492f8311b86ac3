#include "service/UrlEncoding.hpp"

namespace galvoria {
namespace {

bool isUnreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

std::string percentEncode(std::string_view text) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (isUnreserved(byte)) {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(digits[byte >> 4U]);
            out.push_back(digits[byte & 0x0FU]);
        }
    }
    return out;
}

}  // namespace

std::string encodePathSegment(std::string_view text) {
    if (text == ".") {
        return "%2E";
    }
    if (text == "..") {
        return "%2E%2E";
    }
    return percentEncode(text);
}

std::string encodeFormFields(const std::map<std::string, std::string>& fields) {
    std::string out;
    for (const auto& [key, value] : fields) {
        if (!out.empty()) {
            out.push_back('&');
        }
        out += percentEncode(key);
        out.push_back('=');
        out += percentEncode(value);
    }
    return out;
}

}  // namespace galvoria
