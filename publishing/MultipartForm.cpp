#include "publishing/MultipartForm.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>

namespace galvoria::publishing {
namespace {

std::string errorText(int error) { return std::strerror(error); }

}  // namespace

SourceFile::Opened SourceFile::open(const std::string& path) {
    // Not blocking: a FIFO or device named as a rendered file must not hang the task.
    platform::FileDescriptor descriptor(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (descriptor.get() < 0) {
        return {nullptr, errorText(errno)};
    }
    struct stat status {};
    if (::fstat(descriptor.get(), &status) != 0) {
        return {nullptr, errorText(errno)};
    }
    if (S_ISDIR(status.st_mode)) {
        return {nullptr, "Is a folder"};
    }
    if (!S_ISREG(status.st_mode)) {
        return {nullptr, "Not a regular file"};
    }
    std::shared_ptr<const SourceFile> file(
        new SourceFile(std::move(descriptor), static_cast<std::uint64_t>(status.st_size)));
    // Opening may succeed where reading fails; try the first byte now rather than mid-upload.
    if (file->size() > 0) {
        char first = 0;
        if (!file->readAt(&first, 1, 0)) {
            return {nullptr, errorText(errno)};
        }
    }
    return {std::move(file), {}};
}

std::optional<std::uint64_t> SourceFile::currentSize() const {
    struct stat status {};
    if (::fstat(descriptor_.get(), &status) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(status.st_size);
}

std::optional<std::size_t> SourceFile::readAt(char* buffer, std::size_t capacity, std::uint64_t offset) const {
    for (;;) {
        const ssize_t got = ::pread(descriptor_.get(), buffer, capacity, static_cast<off_t>(offset));
        if (got >= 0) {
            return static_cast<std::size_t>(got);
        }
        if (errno != EINTR) {
            return std::nullopt;
        }
    }
}

std::string escapeFormName(std::string_view name) {
    std::string escaped;
    escaped.reserve(name.size());
    for (const char c : name) {
        switch (c) {
            case '"':
                escaped += "%22";
                break;
            case '\r':
                escaped += "%0D";
                break;
            case '\n':
                escaped += "%0A";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string makeBoundary(const std::vector<FormField>& fields) {
    static constexpr std::string_view digits = "0123456789abcdef";
    // Seeded once per thread from the system's entropy: opening a random device for every file
    // costs more than the rest of the boundary.
    thread_local std::mt19937_64 random = [] {
        std::random_device device;
        std::seed_seq seed{device(), device(), device(), device()};
        return std::mt19937_64(seed);
    }();
    for (;;) {
        std::string boundary = "galvoria-form-";
        for (int i = 0; i < 32; ++i) {
            boundary += digits[random() % digits.size()];
        }
        const bool inText = std::any_of(fields.begin(), fields.end(), [&](const FormField& field) {
            return field.name.find(boundary) != std::string::npos || field.text.find(boundary) != std::string::npos;
        });
        if (!inText) {
            return boundary;
        }
    }
}

FormStream::FormStream(const std::vector<FormField>& fields, FilePart filePart, const std::string& boundary)
    : contentType_("multipart/form-data; boundary=" + boundary), file_(std::move(filePart.file)) {
    const std::string delimiter = "--" + boundary + "\r\n";
    for (const auto& field : fields) {
        preamble_ += delimiter;
        preamble_ += "Content-Disposition: form-data; name=\"" + escapeFormName(field.name) + "\"\r\n\r\n";
        preamble_ += field.text;
        preamble_ += "\r\n";
    }
    preamble_ += delimiter;
    preamble_ +=
        "Content-Disposition: form-data; name=\"file\"; filename=\"" + escapeFormName(filePart.fileName) + "\"\r\n";
    if (filePart.contentType) {
        preamble_ += "Content-Type: " + *filePart.contentType + "\r\n";
    }
    preamble_ += "\r\n";
    epilogue_ = "\r\n--" + boundary + "--\r\n";
}

std::uint64_t FormStream::size() const { return preamble_.size() + file_->size() + epilogue_.size(); }

std::optional<std::size_t> FormStream::read(char* buffer, std::size_t capacity) {
    if (!failure_.empty()) {
        return std::nullopt;
    }
    const std::uint64_t fileStart = preamble_.size();
    const std::uint64_t fileEnd = fileStart + file_->size();
    const std::uint64_t total = fileEnd + epilogue_.size();
    std::size_t written = 0;
    while (written < capacity && position_ < total) {
        const std::size_t room = capacity - written;
        std::size_t count = 0;
        if (position_ < fileStart) {
            count = static_cast<std::size_t>(std::min<std::uint64_t>(room, fileStart - position_));
            std::memcpy(buffer + written, preamble_.data() + position_, count);
        } else if (position_ < fileEnd) {
            const auto got = readFile(buffer + written,
                                      static_cast<std::size_t>(std::min<std::uint64_t>(room, fileEnd - position_)));
            if (!got) {
                return std::nullopt;
            }
            count = *got;
        } else {
            count = static_cast<std::size_t>(std::min<std::uint64_t>(room, total - position_));
            std::memcpy(buffer + written, epilogue_.data() + (position_ - fileEnd), count);
        }
        written += count;
        position_ += count;
    }
    return written;
}

std::optional<std::size_t> FormStream::readFile(char* buffer, std::size_t capacity) {
    const std::uint64_t offset = position_ - preamble_.size();
    const auto got = file_->readAt(buffer, capacity, offset);
    if (!got) {
        failure_ = "the file could not be read while it was sent: " + errorText(errno);
        failureReason_ = "the file could not be read while sent";
        return std::nullopt;
    }
    // The form's length was announced up front: a file that is now shorter or longer than the size
    // that was signed cannot be sent faithfully.
    const auto sizeNow = file_->currentSize();
    if (*got == 0 || !sizeNow || *sizeNow != file_->size()) {
        failure_ = "the file changed size while it was sent";
        failureReason_ = "the file changed while sent";
        return std::nullopt;
    }
    return got;
}

http::BodySource bodySourceFor(const std::shared_ptr<FormStream>& stream) {
    return {stream->size(), [stream](char* buffer, std::size_t capacity) { return stream->read(buffer, capacity); }};
}

}  // namespace galvoria::publishing
