#include "devserver/Signing.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <array>
#include <chrono>
#include <stdexcept>

#include <nlohmann/json.hpp>

namespace galvoria::devserver {

namespace {

std::string toHex(const unsigned char* data, std::size_t length) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 0x0F]);
    }
    return out;
}

void fillRandom(unsigned char* data, std::size_t length) {
    if (RAND_bytes(data, static_cast<int>(length)) != 1) {
        // Without a working random source no token or identifier may be handed out.
        throw std::runtime_error("no random bytes available");
    }
}

constexpr std::string_view base64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::string sha256Hex(std::string_view data) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest.data(), &length, EVP_sha256(), nullptr);
    return toHex(digest.data(), length);
}

std::string hmacSha256Hex(std::string_view key, std::string_view message) {
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(message.data()),
         message.size(), digest.data(), &length);
    return toHex(digest.data(), length);
}

std::string randomHex(std::size_t bytes) {
    std::vector<unsigned char> data(bytes);
    fillRandom(data.data(), data.size());
    return toHex(data.data(), data.size());
}

std::string randomAlphanumeric(std::size_t length) {
    static constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string out;
    out.reserve(length);
    while (out.size() < length) {
        std::array<unsigned char, 64> data{};
        fillRandom(data.data(), data.size());
        for (unsigned char byte : data) {
            // 248 = 4 * 62: dropping the rest keeps every character equally likely.
            if (byte < 248 && out.size() < length) out.push_back(alphabet[byte % alphabet.size()]);
        }
    }
    return out;
}

std::string randomUuid() {
    std::array<unsigned char, 16> data{};
    fillRandom(data.data(), data.size());
    data[6] = static_cast<unsigned char>((data[6] & 0x0F) | 0x40);
    data[8] = static_cast<unsigned char>((data[8] & 0x3F) | 0x80);
    std::string hex = toHex(data.data(), data.size());
    return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" + hex.substr(16, 4) + "-" +
           hex.substr(20);
}

bool constantTimeEquals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string base64Encode(std::string_view data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    auto byteAt = [&](std::size_t index) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(data[index]));
    };
    for (; i + 2 < data.size(); i += 3) {
        std::uint32_t group = byteAt(i) << 16 | byteAt(i + 1) << 8 | byteAt(i + 2);
        for (int shift = 18; shift >= 0; shift -= 6) out.push_back(base64Alphabet[(group >> shift) & 0x3F]);
    }
    if (i < data.size()) {
        std::uint32_t group = byteAt(i) << 16;
        if (i + 1 < data.size()) group |= byteAt(i + 1) << 8;
        out.push_back(base64Alphabet[(group >> 18) & 0x3F]);
        out.push_back(base64Alphabet[(group >> 12) & 0x3F]);
        out.push_back(i + 1 < data.size() ? base64Alphabet[(group >> 6) & 0x3F] : '=');
        out.push_back('=');
    }
    return out;
}

std::optional<std::string> base64Decode(std::string_view text) {
    if (text.size() % 4 != 0) return std::nullopt;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        std::uint32_t group = 0;
        int padding = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            char c = text[i + j];
            if (c == '=' && i + 4 == text.size() && j >= 2) {
                ++padding;
                group <<= 6;
                continue;
            }
            if (padding > 0) return std::nullopt;
            auto position = base64Alphabet.find(c);
            if (position == std::string_view::npos) return std::nullopt;
            group = group << 6 | static_cast<std::uint32_t>(position);
        }
        out.push_back(static_cast<char>((group >> 16) & 0xFF));
        if (padding < 2) out.push_back(static_cast<char>((group >> 8) & 0xFF));
        if (padding < 1) out.push_back(static_cast<char>(group & 0xFF));
    }
    return out;
}

const std::string* UploadPolicy::field(std::string_view name) const {
    for (const auto& [fieldName, value] : fields) {
        if (fieldName == name) return &value;
    }
    return nullptr;
}

SignedFields UploadSigner::sign(const std::string& key, const std::string& contentType, std::uint64_t maximumBytes,
                                Clock::time_point now) const {
    const std::string date = compactTime(now);
    SignedFields fields{
        {"key", key},
        {"Content-Type", contentType},
        {"success_action_status", "204"},
        {"x-galvoria-algorithm", std::string(signingAlgorithm)},
        {"x-galvoria-date", date},
    };
    nlohmann::ordered_json conditions = nlohmann::ordered_json::array();
    for (const auto& [name, value] : fields) conditions.push_back({{name, value}});
    conditions.push_back({"content-length-range", 0, maximumBytes});
    nlohmann::ordered_json policy{{"expiration", isoTime(now + std::chrono::hours(1))}, {"conditions", conditions}};

    std::string policyBase64 = base64Encode(policy.dump());
    std::string signature = hmacSha256Hex(secret_, policyBase64);
    fields.emplace_back(std::string(policyField), policyBase64);
    fields.emplace_back(std::string(signatureField), signature);
    return fields;
}

bool UploadSigner::signatureMatches(std::string_view policyBase64, std::string_view signatureHex) const {
    return constantTimeEquals(hmacSha256Hex(secret_, policyBase64), signatureHex);
}

std::optional<UploadPolicy> UploadSigner::decode(std::string_view policyBase64) {
    auto text = base64Decode(policyBase64);
    if (!text) return std::nullopt;
    auto policy = nlohmann::json::parse(*text, nullptr, false);
    if (!policy.is_object() || !policy.contains("expiration") || !policy["expiration"].is_string() ||
        !policy.contains("conditions") || !policy["conditions"].is_array()) {
        return std::nullopt;
    }
    UploadPolicy decoded;
    auto expiration = parseIsoTime(policy["expiration"].get<std::string>());
    if (!expiration) return std::nullopt;
    decoded.expiration = *expiration;
    bool hasRange = false;
    for (const auto& condition : policy["conditions"]) {
        if (condition.is_object() && condition.size() == 1 && condition.begin().value().is_string()) {
            decoded.fields.emplace_back(condition.begin().key(), condition.begin().value().get<std::string>());
        } else if (condition.is_array() && condition.size() == 3 && condition[0] == "content-length-range" &&
                   condition[1].is_number_unsigned() && condition[2].is_number_unsigned()) {
            decoded.minimumBytes = condition[1].get<std::uint64_t>();
            decoded.maximumBytes = condition[2].get<std::uint64_t>();
            hasRange = true;
        } else {
            return std::nullopt;
        }
    }
    if (!hasRange) return std::nullopt;
    return decoded;
}

}  // namespace galvoria::devserver
