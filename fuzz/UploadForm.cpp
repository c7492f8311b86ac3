// Any JSON as the service's answer to a sign request. When it names a storage endpoint and a
// signature, the multipart form is built from the signature as the upload step builds it and read
// back by a plain RFC 7578 reader: it must hold exactly one part per signed field, in order, with
// the field's text, and last the file part, and no name may break out of its quoted string.

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "framework/Value.hpp"
#include "fuzz/FuzzChecks.hpp"
#include "publishing/MultipartForm.hpp"
#include "publishing/UploadPipeline.hpp"
#include "service/Network.hpp"

namespace galvoria::fuzz {
namespace {

namespace fs = std::filesystem;
using publishing::FilePart;
using publishing::FormField;
using publishing::FormStream;

// The rendered file: bytes that look like the form's own delimiters, to tempt a careless reader.
constexpr std::string_view fileBytes = "\xff\xd8 image\r\n--galvoria-form-\r\n\r\nContent-Disposition: x\r\n";

struct ScratchFile {
    fs::path path;
    ScratchFile() : path(fs::temp_directory_path() / ("galvoria-fuzz-form-" + std::to_string(::getpid()))) {
        std::ofstream(path, std::ios::binary).write(fileBytes.data(), static_cast<std::streamsize>(fileBytes.size()));
    }
    ~ScratchFile() {
        std::error_code ignored;
        fs::remove(path, ignored);
    }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
};

struct Part {
    std::string name;
    std::optional<std::string> fileName;
    std::optional<std::string> contentType;
    std::string body;
};

// The value of `parameter="..."` in a Content-Disposition line; a quoted string ends at the next '"'.
std::optional<std::string> quotedParameter(std::string_view line, std::string_view parameter) {
    const std::string key = "; " + std::string(parameter) + "=\"";
    const auto start = line.find(key);
    if (start == std::string_view::npos) {
        return std::nullopt;
    }
    const auto from = start + key.size();
    const auto end = line.find('"', from);
    if (end == std::string_view::npos) {
        return std::nullopt;
    }
    return std::string(line.substr(from, end - from));
}

// Reads a multipart/form-data body; no value when it is not well formed.
std::optional<std::vector<Part>> readForm(std::string_view body, const std::string& boundary) {
    const std::string first = "--" + boundary + "\r\n";
    const std::string between = "\r\n--" + boundary;
    if (body.substr(0, first.size()) != first) {
        return std::nullopt;
    }
    std::vector<Part> parts;
    std::size_t at = first.size();
    for (;;) {
        const auto headersEnd = body.find("\r\n\r\n", at);
        const auto next = body.find(between, at);
        if (headersEnd == std::string_view::npos || next == std::string_view::npos || next < headersEnd) {
            return std::nullopt;
        }
        Part part;
        std::string_view headers = body.substr(at, headersEnd - at);
        bool disposition = false;
        while (!headers.empty()) {
            const auto lineEnd = headers.find("\r\n");
            const auto line = headers.substr(0, lineEnd);
            headers = lineEnd == std::string_view::npos ? std::string_view() : headers.substr(lineEnd + 2);
            if (line.rfind("Content-Disposition: form-data; name=\"", 0) == 0) {
                const std::string_view rest = line.substr(std::string_view("Content-Disposition: form-data").size());
                const auto name = quotedParameter(rest, "name");
                if (!name || disposition) {
                    return std::nullopt;
                }
                const auto afterName = rest.substr(std::string_view("; name=\"\"").size() + name->size());
                part.fileName = quotedParameter(afterName, "filename");
                // Nothing may follow the parameters the form writes.
                const std::size_t expectedRest =
                    part.fileName ? std::string_view("; filename=\"\"").size() + part.fileName->size() : 0;
                if (afterName.size() != expectedRest) {
                    return std::nullopt;
                }
                part.name = *name;
                disposition = true;
            } else if (line.rfind("Content-Type: ", 0) == 0 && !part.contentType) {
                part.contentType = std::string(line.substr(std::string_view("Content-Type: ").size()));
            } else {
                return std::nullopt;
            }
        }
        if (!disposition) {
            return std::nullopt;
        }
        part.body = std::string(body.substr(headersEnd + 4, next - headersEnd - 4));
        parts.push_back(std::move(part));
        at = next + between.size();
        if (body.substr(at) == "--\r\n") {
            return parts;
        }
        if (body.substr(at, 2) != "\r\n") {
            return std::nullopt;
        }
        at += 2;
    }
}

Finding checkForm(const co::Value& signature, const std::string& fileName) {
    static const ScratchFile scratch;

    // The form as the upload step builds it from the signature.
    std::vector<FormField> fields;
    for (const auto& [name, value] : signature.items()) {
        fields.push_back({name, publishing::fieldText(value)});
    }
    std::optional<std::string> contentType;
    if (const auto found = signature.find("Content-Type"); found != signature.end() && found->is_string()) {
        contentType = found->get<std::string>();
        if (contentType->find_first_of("\r\n") != std::string::npos) {
            return std::nullopt;  // refused before anything is built
        }
    }
    auto opened = publishing::SourceFile::open(scratch.path.string());
    if (!opened.file) {
        return "the scratch file cannot be opened: " + opened.problem;
    }
    const std::string boundary = publishing::makeBoundary(fields);
    FormStream stream(fields, FilePart{fileName, contentType, opened.file}, boundary);
    if (stream.contentType() != "multipart/form-data; boundary=" + boundary) {
        return "the form's content type does not name its boundary";
    }

    // Read in small, uneven pieces, as a transfer may ask for them.
    std::string body;
    char buffer[61];
    for (std::size_t capacity = 1;; capacity = capacity % sizeof buffer + 7) {
        const auto got = stream.read(buffer, std::min(capacity, sizeof buffer));
        if (!got) {
            return "the form stopped: " + stream.failure();
        }
        if (*got == 0) {
            break;
        }
        body.append(buffer, *got);
    }
    if (body.size() != stream.size()) {
        return "the form's announced size differs from its bytes";
    }

    const auto parts = readForm(body, boundary);
    if (!parts) {
        return "the form does not read back as multipart/form-data";
    }
    if (parts->size() != fields.size() + 1) {
        return "the form reads back as " + std::to_string(parts->size()) + " parts, not " +
               std::to_string(fields.size() + 1);
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const Part& part = (*parts)[i];
        if (part.name != publishing::escapeFormName(fields[i].name) || part.fileName || part.contentType ||
            part.body != fields[i].text) {
            return "part " + std::to_string(i) + " differs from its signed field";
        }
    }
    const Part& file = parts->back();
    if (file.name != "file" || file.fileName != publishing::escapeFormName(fileName) ||
        file.contentType != contentType || file.body != fileBytes) {
        return "the file part differs from the file";
    }
    return std::nullopt;
}

}  // namespace

Finding checkUploadForm(std::string_view input) {
    const co::Value response = decodeAnswerBody(input);
    if (response.is_discarded() || !response.is_object()) {
        return std::nullopt;
    }
    const auto endpoint = response.find("postEndpoint");
    const auto signature = response.find("signature");
    if (endpoint == response.end() || !endpoint->is_string() || signature == response.end() ||
        !signature->is_object()) {
        return std::nullopt;  // nothing is uploaded
    }
    // The service sends no file name; a "fileName" member stands for the rendered file's path here.
    const auto path = response.value("fileName", co::Value("/renders/IMG_0001.jpg"));
    const std::string fileName =
        publishing::lastPathComponent(path.is_string() ? path.get<std::string>() : "/renders/IMG_0001.jpg");
    try {
        // The upload step may keep its own copy of the signature, as the service sent it: copying
        // recurses once per level, so the copy itself is under test.
        const co::Value copy = *signature;  // NOLINT(performance-unnecessary-copy-initialization): see above
        return checkForm(copy, fileName);
    } catch (const std::exception& error) {
        return std::string("building the form threw: ") + error.what();
    }
}

}  // namespace galvoria::fuzz
