#pragma once
// Properties that must hold for any input to the parts of the system that read what others wrote:
// the service's listings and creation results, its signed upload fields, the host's request lines
// and the preference store's file. Each check takes arbitrary bytes and returns what went wrong,
// or nothing. The fuzzing programs abort on a finding; the test suite replays every kept input.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace galvoria::fuzz {

using Finding = std::optional<std::string>;
using Check = Finding (*)(std::string_view input);

// Any JSON as a listing response: decoded within the limits, a small one exactly as the JSON
// library reads it; the records follow the mapping rules entry by entry.
Finding checkListingMapping(std::string_view input);
// Any JSON as a creation response: the result holds exactly the string "id" and "name" of "data".
Finding checkCreationResult(std::string_view input);
// Any JSON as a sign response: when it names an endpoint and a signature, the multipart form built
// from them parses back into exactly one part per signed field and the file part.
Finding checkUploadForm(std::string_view input);
// Any line as a driving-protocol request: refused with a message, skipped as blank, or read into a
// request whose members are those of the line.
Finding checkDriveRequest(std::string_view input);
// Any bytes as the preference store's file: read as the store reads it, and written back unchanged.
Finding checkPreferenceFile(std::string_view input);

struct Target {
    std::string_view name;
    Check check;
};

// Every check under the name of its fuzzing program and corpus folder.
const std::vector<Target>& targets();

}  // namespace galvoria::fuzz
