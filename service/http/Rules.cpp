#include "service/http/Rules.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace galvoria::http {
namespace detail {
namespace {

bool hasHeader(const std::vector<Header>& headers, std::string_view name) {
    return std::any_of(headers.begin(), headers.end(),
                       [name](const Header& header) { return equalsIgnoringCase(header.name, name); });
}

bool isTokenCharacter(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) != 0) {
        return true;
    }
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// A header name must be an HTTP token and a value must not break the request apart: a line break
// or NUL inside a value would let it smuggle further headers onto the wire.
std::optional<std::string> headerProblem(const Header& header) {
    if (header.name.empty() || !std::all_of(header.name.begin(), header.name.end(), isTokenCharacter)) {
        return "A request header has an invalid name.";
    }
    if (header.value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        return "The request header \"" + header.name + "\" holds a line break.";
    }
    return std::nullopt;
}

std::string trimmed(std::string_view text) {
    const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return std::string(text);
}

}  // namespace

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

Response failure(std::string text) {
    Response response;
    response.transportError = std::move(text);
    return response;
}

std::optional<std::string> requestProblem(const Request& request) {
    if (!isHttpUrl(request.url)) {
        return "Only absolute http and https URLs with a host are sent.";
    }
    const bool isPost = request.method == "POST";
    if (!isPost && request.method != "GET") {
        return "The request method \"" + request.method + "\" is not supported.";
    }
    if (request.bodySource && (!isPost || !request.bodySource->read)) {
        return "A streamed request body needs a POST with a reader.";
    }
    return std::nullopt;
}

HeaderLines headerLines(const std::vector<Header>& headers, bool isPost) {
    HeaderLines result;
    for (const Header& header : headers) {
        if (auto problem = headerProblem(header)) {
            return {{}, std::move(problem)};
        }
        // "Name;" is libcurl's spelling of a header sent with an empty value ("Name:" would remove it).
        const bool blank = header.value.find_first_not_of(" \t") == std::string::npos;
        result.lines.push_back(blank ? header.name + ";" : header.name + ": " + header.value);
    }
    // Only the given headers go out: libcurl's defaults are switched off unless the caller set them.
    if (!hasHeader(headers, "Accept")) {
        result.lines.emplace_back("Accept:");
    }
    if (isPost && !hasHeader(headers, "Content-Type")) {
        result.lines.emplace_back("Content-Type:");
    }
    if (isPost && !hasHeader(headers, "Expect")) {
        result.lines.emplace_back("Expect:");
    }
    return result;
}

// The CA file is read by the TLS library with a blocking open: a FIFO or a device named there would
// hang the transfer before it connects. Only a regular file is handed over, and only for https.
std::optional<std::string> caBundleProblem(const std::optional<std::string>& caBundle, std::string_view url) {
    if (!caBundle || url.size() < 6 || !equalsIgnoringCase(url.substr(0, 6), "https:")) {
        return std::nullopt;
    }
    struct stat status {};
    if (::stat(caBundle->c_str(), &status) != 0) {
        return "The CA file named by GALVORIA_CA_BUNDLE (" + *caBundle + ") cannot be read: " + std::strerror(errno) +
               ".";
    }
    if (!S_ISREG(status.st_mode)) {
        return "The CA file named by GALVORIA_CA_BUNDLE (" + *caBundle + ") is not a regular file.";
    }
    return std::nullopt;
}

void takeHeaderLine(std::vector<Header>& headers, std::string_view line) {
    if (line.starts_with("HTTP/")) {
        headers.clear();  // a new response begins (after a 1xx): only the final one's headers count
    } else if (!line.empty() && (line.front() == ' ' || line.front() == '\t') && !headers.empty()) {
        headers.back().value += ' ' + trimmed(line);  // obsolete line folding
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
        headers.push_back({trimmed(line.substr(0, colon)), trimmed(line.substr(colon + 1))});
    }
}

std::string responseTooLargeText(std::size_t maxResponseBytes) {
    return "The response body is larger than " + std::to_string(maxResponseBytes) + " bytes.";
}

}  // namespace detail

std::optional<std::string> Response::header(std::string_view name) const {
    for (const Header& header : headers) {
        if (detail::equalsIgnoringCase(header.name, name)) {
            return header.value;
        }
    }
    return std::nullopt;
}

bool isHttpUrl(std::string_view url) {
    using detail::equalsIgnoringCase;
    const auto colon = url.find(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    const std::string_view scheme = url.substr(0, colon);
    if (!equalsIgnoringCase(scheme, "http") && !equalsIgnoringCase(scheme, "https")) {
        return false;
    }
    // Nothing that could end or split the request line: no blanks, no control characters.
    if (std::any_of(url.begin(), url.end(), [](char c) {
            const auto u = static_cast<unsigned char>(c);
            return u <= 0x20 || u == 0x7F;
        })) {
        return false;
    }
    std::string_view rest = url.substr(colon + 1);
    if (!rest.starts_with("//")) {
        return false;
    }
    rest.remove_prefix(2);
    std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    std::string_view host = authority;
    std::string_view port;
    if (authority.starts_with('[')) {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) {
            return false;
        }
        host = authority.substr(0, close + 1);
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') {
                return false;
            }
            port = after.substr(1);
        }
        if (host.size() <= 2) {
            return false;
        }
    } else if (const auto portColon = authority.rfind(':'); portColon != std::string_view::npos) {
        host = authority.substr(0, portColon);
        port = authority.substr(portColon + 1);
    }
    if (host.empty()) {
        return false;
    }
    return std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace galvoria::http
