#pragma once
// Digests, random identifiers and the signed upload policy of the storage endpoint.
//
// A signed upload is a presigned POST: the service hands out a base64 policy (expiration, the exact
// form fields with their values, the allowed file size) and its HMAC-SHA256 under a secret that only
// the service knows. The storage endpoint and the completion accept a form only when the signature
// over the policy matches.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "devserver/Text.hpp"

namespace galvoria::devserver {

std::string sha256Hex(std::string_view data);
std::string hmacSha256Hex(std::string_view key, std::string_view message);
std::string randomHex(std::size_t bytes);
std::string randomAlphanumeric(std::size_t length);
// A random RFC 4122 version 4 identifier in lower-case text.
std::string randomUuid();
bool constantTimeEquals(std::string_view a, std::string_view b);

std::string base64Encode(std::string_view data);
std::optional<std::string> base64Decode(std::string_view text);

inline constexpr std::string_view signingAlgorithm = "HMAC-SHA256";
inline constexpr std::string_view signatureField = "x-galvoria-signature";
inline constexpr std::string_view policyField = "policy";

// What a decoded policy demands of a form.
struct UploadPolicy {
    Clock::time_point expiration;
    std::vector<std::pair<std::string, std::string>> fields;  // every signed field except policy and signature
    std::uint64_t minimumBytes = 0;
    std::uint64_t maximumBytes = 0;

    [[nodiscard]] const std::string* field(std::string_view name) const;
};

// The form fields handed to the client, in the order they are sent.
using SignedFields = std::vector<std::pair<std::string, std::string>>;

class UploadSigner {
public:
    explicit UploadSigner(std::string secret) : secret_(std::move(secret)) {}

    [[nodiscard]] SignedFields sign(const std::string& key, const std::string& contentType, std::uint64_t maximumBytes,
                                    Clock::time_point now) const;
    [[nodiscard]] bool signatureMatches(std::string_view policyBase64, std::string_view signatureHex) const;
    // The policy's demands; nothing when the text is not a policy this service issues.
    [[nodiscard]] static std::optional<UploadPolicy> decode(std::string_view policyBase64);

private:
    std::string secret_;
};

}  // namespace galvoria::devserver
