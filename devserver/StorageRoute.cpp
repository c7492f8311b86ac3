// The storage endpoint: a presigned-POST multipart form, read as a stream. Text fields come first,
// then the part "file", whose bytes go straight to a file under the storage folder (or are only
// counted when the storage discards them). Refusals read the rest of the form and throw it away, so
// the client always gets its answer instead of a reset connection.
//
// The body is read straight from the connection and parsed by MultipartStream: the library's own
// multipart reader copies and scans byte by byte and would hold uploads well below disk speed.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "devserver/MultipartStream.hpp"
#include "devserver/ServerImpl.hpp"

namespace galvoria::devserver {

namespace {

constexpr std::size_t writeBufferBytes = 8 * 1024 * 1024;
constexpr std::size_t maximumFieldBytes = 64 * 1024;

struct FdCloser {
    void operator()(const int* fd) const {
        if (*fd >= 0) ::close(*fd);
        delete fd;
    }
};
using FileDescriptor = std::unique_ptr<int, FdCloser>;

FileDescriptor openForWriting(const std::filesystem::path& path) {
    return FileDescriptor(new int(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)));
}

// Where the file part's bytes go.
class FileSink {
public:
    virtual ~FileSink() = default;
    virtual bool write(const char* data, std::size_t length) = 0;
    virtual bool commit() = 0;  // the bytes are complete
};

// Counts the bytes and keeps none.
class DiscardingSink final : public FileSink {
public:
    bool write(const char*, std::size_t) override { return true; }
    bool commit() override { return true; }
};

// Writes through a large buffer to a temporary file that becomes the stored file on commit; removed
// when the upload is not committed.
class DiskSink final : public FileSink {
public:
    static std::unique_ptr<DiskSink> open(const std::filesystem::path& root, std::filesystem::path target) {
        std::error_code error;
        std::filesystem::path incoming = root / ".incoming";
        std::filesystem::create_directories(incoming, error);
        std::filesystem::path temporary = incoming / (randomUuid() + ".part");
        FileDescriptor fd = openForWriting(temporary);
        if (*fd < 0) return nullptr;
        return std::unique_ptr<DiskSink>(new DiskSink(std::move(fd), std::move(temporary), std::move(target)));
    }

    ~DiskSink() override {
        if (!committed_) {
            fd_.reset();
            std::error_code error;
            std::filesystem::remove(temporary_, error);
        }
    }

    bool write(const char* data, std::size_t length) override {
        while (length > 0) {
            std::size_t piece = std::min(length, writeBufferBytes - used_);
            std::memcpy(buffer_.get() + used_, data, piece);
            used_ += piece;
            data += piece;
            length -= piece;
            if (used_ == writeBufferBytes && !flush()) return false;
        }
        return true;
    }

    bool commit() override {
        if (!flush()) return false;
        if (::close(*fd_) != 0) {
            *fd_ = -1;
            return false;
        }
        *fd_ = -1;
        std::error_code error;
        std::filesystem::create_directories(target_.parent_path(), error);
        std::filesystem::rename(temporary_, target_, error);
        committed_ = !error;
        return committed_;
    }

private:
    DiskSink(FileDescriptor fd, std::filesystem::path temporary, std::filesystem::path target)
        : fd_(std::move(fd)),
          temporary_(std::move(temporary)),
          target_(std::move(target)),
          buffer_(std::make_unique_for_overwrite<char[]>(writeBufferBytes)) {}

    bool flush() {
        std::size_t written = 0;
        while (written < used_) {
            ssize_t count = ::write(*fd_, buffer_.get() + written, used_ - written);
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0) return false;
            written += static_cast<std::size_t>(count);
        }
        used_ = 0;
        return true;
    }

    FileDescriptor fd_;
    std::filesystem::path temporary_;
    std::filesystem::path target_;
    // Not cleared when it is made: only the part a file fills is ever touched, so a small file does
    // not pay for the whole buffer.
    std::unique_ptr<char[]> buffer_;
    std::size_t used_ = 0;
    bool committed_ = false;
};

struct Refusal {
    int status;
    std::string code;
    std::string message;
};

void sendStorageError(httplib::Response& response, const Refusal& refusal) {
    response.status = refusal.status;
    response.set_content(R"(<?xml version="1.0" encoding="UTF-8"?>)"
                         "\n<Error><Code>" +
                             htmlEscape(refusal.code) + "</Code><Message>" + htmlEscape(refusal.message) +
                             "</Message></Error>\n",
                         "application/xml");
}

// The form as it streams in: collects the text fields, checks them against the signed policy when the
// file part begins, and passes the file's bytes on while they stay within the signed size.
class StorageForm {
public:
    using SinkFactory = std::function<std::unique_ptr<FileSink>(const std::string& key)>;

    StorageForm(UploadSigner signer, Clock::time_point now, SinkFactory openSink)
        : signer_(std::move(signer)), now_(now), openSink_(std::move(openSink)) {}

    bool beginPart(const PartHead& part) {
        finishTextField();
        if (refusal_) return true;
        if (fileStarted_) {
            refuse(400, "InvalidArgument", "The file must be the last field of the form.");
        } else if (part.name == "file") {
            beginFile(part.contentType.value_or(""));
        } else {
            fieldName_ = part.name;
            inField_ = true;
        }
        return true;
    }

    bool data(const char* bytes, std::size_t length) {
        if (refusal_) return true;
        if (inField_) {
            if (fieldValue_.size() + length > maximumFieldBytes) {
                refuse(400, "InvalidArgument", "The form field " + fieldName_ + " is too long.");
            } else {
                fieldValue_.append(bytes, length);
            }
            return true;
        }
        if (!sink_) return true;
        fileBytes_ += length;
        if (fileBytes_ > policy_->maximumBytes) {
            refuse(400, "EntityTooLarge", "Your proposed upload exceeds the maximum allowed size.");
        } else if (!sink_->write(bytes, length)) {
            refuse(500, "InternalError", "The file cannot be stored.");
        }
        return true;
    }

    // After the whole body has been read; `parsed`: it was a complete multipart form.
    std::optional<Refusal> finish(bool parsed) {
        finishTextField();
        if (!refusal_ && !parsed) {
            refuse(400, "MalformedPOSTRequest",
                   "The body of your POST request is not well-formed multipart/form-data.");
        }
        if (!refusal_ && !fileStarted_)
            refuse(400, "InvalidArgument", "POST requires exactly one file upload per request.");
        if (!refusal_ && fileBytes_ < policy_->minimumBytes) {
            refuse(400, "EntityTooSmall", "Your proposed upload is smaller than the minimum allowed size.");
        }
        if (!refusal_ && !sink_->commit()) refuse(500, "InternalError", "The file cannot be stored.");
        return refusal_;
    }

    [[nodiscard]] const std::string& key() const { return *policy_->field("key"); }
    [[nodiscard]] std::string contentType() const {
        const std::string* type = policy_->field("Content-Type");
        return type ? *type : "application/octet-stream";
    }
    [[nodiscard]] std::uint64_t fileBytes() const { return fileBytes_; }
    [[nodiscard]] std::string successStatus() const {
        const std::string* status = policy_->field("success_action_status");
        return status ? *status : "204";
    }

private:
    void refuse(int status, std::string code, std::string message) {
        if (!refusal_) refusal_ = Refusal{status, std::move(code), std::move(message)};
        sink_.reset();
    }

    void finishTextField() {
        if (!inField_) return;
        inField_ = false;
        for (const auto& [name, value] : fields_) {
            if (name == fieldName_) {
                refuse(403, "AccessDenied", "Invalid according to Policy: Extra input fields: " + fieldName_);
                return;
            }
        }
        fields_.emplace_back(std::move(fieldName_), std::move(fieldValue_));
        fieldName_.clear();
        fieldValue_.clear();
    }

    const std::string* field(std::string_view name) const {
        for (const auto& [fieldName, value] : fields_) {
            if (fieldName == name) return &value;
        }
        return nullptr;
    }

    void beginFile(const std::string& partContentType) {
        fileStarted_ = true;
        const std::string* policyText = field(policyField);
        const std::string* signature = field(signatureField);
        if (policyText == nullptr || signature == nullptr) {
            return refuse(403, "AccessDenied", "The form must contain the fields policy and x-galvoria-signature.");
        }
        if (!signer_.signatureMatches(*policyText, *signature)) {
            return refuse(403, "SignatureDoesNotMatch",
                          "The request signature we calculated does not match the signature you provided.");
        }
        policy_ = UploadSigner::decode(*policyText);
        if (!policy_ || policy_->field("key") == nullptr) return refuse(403, "AccessDenied", "Invalid Policy.");
        if (now_ > policy_->expiration)
            return refuse(403, "AccessDenied", "Invalid according to Policy: Policy expired.");
        for (const auto& [name, value] : policy_->fields) {
            const std::string* sent = field(name);
            if (sent == nullptr || *sent != value) {
                return refuse(403, "AccessDenied",
                              "Invalid according to Policy: Policy Condition failed: [\"eq\", \"$" + name + "\"]");
            }
        }
        for (const auto& [name, value] : fields_) {
            if (name != policyField && name != signatureField && policy_->field(name) == nullptr) {
                return refuse(403, "AccessDenied", "Invalid according to Policy: Extra input fields: " + name);
            }
        }
        if (const std::string* signedType = policy_->field("Content-Type");
            signedType != nullptr && !equalsIgnoringCase(trimmed(partContentType), *signedType)) {
            return refuse(400, "InvalidArgument", "The content type of the file differs from the signed Content-Type.");
        }
        sink_ = openSink_(key());
        if (!sink_) refuse(500, "InternalError", "The file cannot be stored.");
    }

    UploadSigner signer_;
    Clock::time_point now_;
    SinkFactory openSink_;
    std::vector<std::pair<std::string, std::string>> fields_;
    std::string fieldName_;
    std::string fieldValue_;
    bool inField_ = false;
    bool fileStarted_ = false;
    std::optional<UploadPolicy> policy_;
    std::unique_ptr<FileSink> sink_;
    std::uint64_t fileBytes_ = 0;
    std::optional<Refusal> refusal_;
};

}  // namespace

bool hasDeclaredLength(const httplib::Request& request) {
    auto length = rawHeaderOf(request, "Content-Length");
    return !rawHeaderOf(request, "Transfer-Encoding") && length && parseDecimal(*length);
}

void refuseUnknownLength(httplib::Response& response) {
    HttpFront::closeCurrentConnectionAfterResponse();
    sendStorageError(response, {411, "MissingContentLength", "You must provide the Content-Length HTTP header."});
}

void Server::Impl::registerStorageRoutes() {
    // The content reader goes unused: the body is read from the connection (see the top of this file).
    front.Post("/storage/upload", [this](const httplib::Request& request, httplib::Response& response,
                                         const httplib::ContentReader&) {
        if (!hasDeclaredLength(request)) return refuseUnknownLength(response);
        auto boundary = multipartBoundary(rawHeaderOf(request, "Content-Type").value_or(""));
        if (!boundary)
            return sendStorageError(response, {400, "InvalidArgument", "POST requires multipart/form-data."});
        StorageForm form(signer(), now(), [this](const std::string& key) -> std::unique_ptr<FileSink> {
            if (options.discardStorage) return std::make_unique<DiscardingSink>();
            return DiskSink::open(storageDir, storagePathForKey(storageDir, key));
        });
        MultipartStream stream(
            *boundary, [&form](const PartHead& head) { return form.beginPart(head); },
            [&form](const char* data, std::size_t size) { return form.data(data, size); });
        // A malformed form is still read to its end, so that the answer reaches the client.
        bool complete = HttpFront::readCurrentBody([&stream](const char* data, std::size_t size) {
            stream.feed(data, size);
            return true;
        });
        bool parsed = complete && stream.finished();
        if (auto refusal = form.finish(parsed)) {
            if (!complete) HttpFront::closeCurrentConnectionAfterResponse();
            return sendStorageError(response, *refusal);
        }
        {
            std::lock_guard lock(stateMutex);
            state.objects[form.key()] =
                StoredObject{form.key(), form.contentType(), form.fileBytes(), !options.discardStorage, isoTime(now())};
            saveLocked();
        }
        std::string status = form.successStatus();
        response.status = status == "200" ? 200 : status == "201" ? 201 : 204;
        if (response.status == 201) {
            response.set_content(R"(<?xml version="1.0" encoding="UTF-8"?>)"
                                 "\n<PostResponse><Key>" +
                                     htmlEscape(form.key()) + "</Key></PostResponse>\n",
                                 "application/xml");
        }
    });

    // A baseline for benchmarks: reads the whole body and keeps nothing. A body with a Content-Length is
    // taken straight from the connection, so the route costs no more than receiving it. When uploads
    // are signed to this route, the "key" of the query names the signed upload the body stands for,
    // and a complete body counts as that upload stored with its signed size.
    front.Post("/_bench/discard", [this](const httplib::Request& request, httplib::Response& response,
                                         const httplib::ContentReader& reader) {
        auto ignore = [](const char*, std::size_t) { return true; };
        bool complete = false;
        if (hasDeclaredLength(request)) {
            complete = HttpFront::readCurrentBody(ignore);
        } else if (request.is_multipart_form_data()) {
            complete = reader([](const httplib::MultipartFormData&) { return true; }, ignore);
        } else {
            complete = reader(ignore);
        }
        if (!complete) HttpFront::closeCurrentConnectionAfterResponse();
        response.status = complete ? 204 : 400;
        if (complete && options.signToDiscard && request.has_param("key")) {
            const std::string key = request.get_param_value("key");
            std::lock_guard lock(stateMutex);
            if (auto pending = state.pendingUploads.find(key); pending != state.pendingUploads.end()) {
                state.objects[key] =
                    StoredObject{key, pending->second.contentType, pending->second.maximumBytes, false, isoTime(now())};
                saveLocked();
            }
        }
    });
}

}  // namespace galvoria::devserver
