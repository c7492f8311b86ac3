#pragma once
// Percent-encoding of the pieces the service client splices into its URLs.

#include <map>
#include <string>
#include <string_view>

namespace galvoria {

// Encodes `text` as one path segment: RFC 3986 unreserved characters stay, every other byte becomes
// %XX, and the dot segments "." and ".." become "%2E" and "%2E%2E" so they cannot climb the path.
std::string encodePathSegment(std::string_view text);

// "key=value&key=value" with keys and values percent-encoded the same way (empty for no fields).
std::string encodeFormFields(const std::map<std::string, std::string>& fields);

}  // namespace galvoria
