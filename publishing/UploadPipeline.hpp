#pragma once
// Moving one rendered file into a project: sign it with the service, post it as a multipart form to
// the storage endpoint the service names, and tell the service the upload is complete.
//
// The caller's thread blocks on each step while its answer is handled on the main queue; it must
// therefore never be the main thread.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "framework/Value.hpp"
#include "service/Network.hpp"
#include "vocabulary/Preferences.hpp"

namespace galvoria::publishing {

// How one file's exchange ended. A file is published only when every step was answered with
// success; otherwise `reason` says which step failed and how, as one of a fixed set of short
// lower-case phrases without parentheses (the host reads them back from the task's texts).
struct UploadOutcome {
    bool published = false;
    std::string reason;

    static UploadOutcome success() { return {true, {}}; }
    static UploadOutcome failure(std::string reason) { return {false, std::move(reason)}; }
};

// Where an exchange goes: the service client (signing and completing, and the session the storage
// is reached through) and the preferences holding the bearer token.
struct UploadContext {
    const Network& client;
    const Preferences& preferences;
};

// Uploads the file at `index` of `files` into the project `projectId`; returns when its exchange is
// over. The bearer token is read from the preference store once, at the start.
UploadOutcome uploadFile(const UploadContext& context, const std::vector<std::string>& files, std::size_t index,
                         const std::string& projectId);

// Why the form must not go to the storage endpoint `endpoint` that the service at `serviceOrigin`
// named, as a file's failure reason; no value when it may. Only an absolute http or https URL is a
// storage address; one carrying user information would send credentials the service chose, and a
// plain-http one under an https service would carry the photo in clear text.
std::optional<std::string> storageAddressProblem(std::string_view serviceOrigin, std::string_view endpoint);

// The text after the last "/" of a path, a trailing "/" being ignored ("a.jpg" from "/x/a.jpg/").
std::string lastPathComponent(std::string_view path);

// A signature value as form and completion text: strings unchanged, integral numbers as decimal
// digits, anything else (fractions, objects, arrays, null, booleans) as the empty string.
std::string fieldText(const co::Value& value);

}  // namespace galvoria::publishing
