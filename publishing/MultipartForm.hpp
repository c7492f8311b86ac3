#pragma once
// The multipart form (multipart/form-data) that carries one rendered file to a storage endpoint.
//
// The form is never held in memory or written to disk: only its text parts are kept, and the file's
// bytes are read straight into the transfer's buffer while the form is sent. Its total size is
// known before the first byte goes out, so the request carries a Content-Length.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/FileDescriptor.hpp"
#include "service/http/Http.hpp"

namespace galvoria::publishing {

// A rendered file opened for sending, with the size it had when it was opened (the size the upload
// is signed for).
class SourceFile {
public:
    struct Opened;

    // Opens a regular file for reading and checks that its bytes can be read. On failure the text
    // says why ("No such file or directory", "is a folder", ...).
    static Opened open(const std::string& path);

    [[nodiscard]] std::uint64_t size() const { return size_; }
    // The file's size now; no value when it cannot be read.
    [[nodiscard]] std::optional<std::uint64_t> currentSize() const;
    // Reads up to `capacity` bytes at `offset`; no value on a read error (errno tells which).
    std::optional<std::size_t> readAt(char* buffer, std::size_t capacity, std::uint64_t offset) const;

private:
    SourceFile(platform::FileDescriptor descriptor, std::uint64_t size)
        : descriptor_(std::move(descriptor)), size_(size) {}
    platform::FileDescriptor descriptor_;
    std::uint64_t size_ = 0;
};

struct SourceFile::Opened {
    std::shared_ptr<const SourceFile> file;  // null when the file cannot be read
    std::string problem;
};

// One text part of the form.
struct FormField {
    std::string name;
    std::string text;
};

// The form's file part: its file name and, when the signature names one, its content type.
struct FilePart {
    std::string fileName;
    std::optional<std::string> contentType;
    std::shared_ptr<const SourceFile> file;
};

// Names in Content-Disposition are quoted strings: '"', CR and LF are percent-encoded (%22, %0D,
// %0A) as browsers send them; every other byte passes unchanged.
std::string escapeFormName(std::string_view name);
// A fresh random boundary that does not occur in any text part.
std::string makeBoundary(const std::vector<FormField>& fields);

// The state of one form being sent. Reads come from the transfer's thread one at a time; failure()
// is read after the transfer has ended.
class FormStream {
public:
    FormStream(const std::vector<FormField>& fields, FilePart filePart, const std::string& boundary);

    [[nodiscard]] const std::string& contentType() const { return contentType_; }
    [[nodiscard]] std::uint64_t size() const;
    // Fills at most `capacity` bytes; no value when the file cannot be read as it was signed (it
    // changed size or a read failed), which ends the transfer.
    std::optional<std::size_t> read(char* buffer, std::size_t capacity);
    // Why the form stopped before its end, in detail for the log; empty while nothing went wrong.
    [[nodiscard]] const std::string& failure() const { return failure_; }
    // The same as a file's short failure reason; empty while nothing went wrong.
    [[nodiscard]] std::string_view failureReason() const { return failureReason_; }

private:
    std::optional<std::size_t> readFile(char* buffer, std::size_t capacity);

    std::string contentType_;
    std::string preamble_;  // the text parts and the file part's header
    std::string epilogue_;  // the closing boundary
    std::shared_ptr<const SourceFile> file_;
    std::uint64_t position_ = 0;
    std::string failure_;
    std::string_view failureReason_;
};

// The request body for `stream`, produced while it is sent. The source shares the stream.
http::BodySource bodySourceFor(const std::shared_ptr<FormStream>& stream);

}  // namespace galvoria::publishing
