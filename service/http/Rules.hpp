#pragma once
// The rules a request must meet before libcurl sees it, and the reading of response header lines:
// pure functions of their inputs, private to the HTTP seam.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "service/http/Http.hpp"

namespace galvoria::http::detail {

bool equalsIgnoringCase(std::string_view a, std::string_view b);

// A response that carries only a transport failure.
Response failure(std::string text);

// Why the request cannot go out as it stands (its URL, method or body), or nothing.
std::optional<std::string> requestProblem(const Request& request);

// The header lines handed to libcurl, in the request's order, followed by the lines that switch
// off libcurl's own defaults the caller did not set (Accept; for a POST also Content-Type and
// Expect). Holds a problem instead when a header could smuggle anything onto the wire.
struct HeaderLines {
    std::vector<std::string> lines;
    std::optional<std::string> problem;
};
HeaderLines headerLines(const std::vector<Header>& headers, bool isPost);

// Why the extra CA file cannot be handed to the TLS library for this URL, or nothing.
std::optional<std::string> caBundleProblem(const std::optional<std::string>& caBundle, std::string_view url);

// Adds one received header line to `headers`: a status line starts them afresh, a folded line
// continues the last header, a "name: value" line adds one; anything else is ignored.
void takeHeaderLine(std::vector<Header>& headers, std::string_view line);

std::string responseTooLargeText(std::size_t maxResponseBytes);

}  // namespace galvoria::http::detail
