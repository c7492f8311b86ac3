#pragma once
// The rules a local web page's requests are held to, as pure functions: which Host and Origin
// headers name this server, the session cookie, the secret's comparison, the names uploaded files
// may have and the content types the server answers with.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace galvoria::host::ui {

inline constexpr std::string_view cookieName = "galvoria-ui";
inline constexpr std::uint64_t largestUploadBytes = std::uint64_t{2} << 30U;  // 2 GiB per file

// 32 lowercase hex digits of 128 bits from the system's random source; empty when it gives none.
std::string randomHex128();

// Whether two secrets are equal, taking the same time wherever they differ.
bool sameSecret(std::string_view given, std::string_view expected);

// The Host header names this server: 127.0.0.1:PORT or localhost:PORT, nothing else.
bool hostAllowed(std::string_view host, std::uint16_t port);
// The Origin header of a state-changing request: http://127.0.0.1:PORT or http://localhost:PORT.
bool originAllowed(std::string_view origin, std::uint16_t port);

// The value of cookie `name` in a Cookie header; no value when the header holds none.
std::optional<std::string> cookieValue(std::string_view header, std::string_view name);

// Why an uploaded file's name cannot be kept as its name: empty, "." or "..", holding "/" or NUL,
// longer than 255 bytes. No value when it can.
std::optional<std::string> fileNameProblem(std::string_view name);

// A photo's content type by its extension (case-insensitive): JPEG, PNG, WebP, else
// application/octet-stream.
std::string photoType(std::string_view name);
// The browser can draw a thumbnail of this type.
bool hasThumbnail(std::string_view type);

// A page file may be served under this name: a plain name of the page's folder, no subfolder, no
// hidden file.
bool pageNameAllowed(std::string_view name);
// A page file's content type by its extension.
std::string pageType(std::string_view name);

}  // namespace galvoria::host::ui
