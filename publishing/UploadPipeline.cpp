#include "publishing/UploadPipeline.hpp"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cmath>
#include <exception>
#include <functional>
#include <limits>
#include <memory>

#include "platform/Dispatch.hpp"
#include "platform/Log.hpp"
#include "publishing/MultipartForm.hpp"
#include "service/Exchange.hpp"

namespace galvoria::publishing {
namespace {

bool isSuccessStatus(long status) { return status >= 200 && status < 300; }

// A file's failure reasons. The host reads them back out of the task's texts, so each is a short
// lower-case phrase without parentheses; the detail behind one goes to the log.
namespace reason {
constexpr std::string_view unreadable = "the file could not be read";
constexpr std::string_view noSigningAnswer = "no answer from the service";
constexpr std::string_view signingRefused = "the service refused the file: ";
constexpr std::string_view signingUnusable = "the service's answer could not be used";
constexpr std::string_view notWebAddress = "the storage address is not http or https";
constexpr std::string_view credentials = "the storage address carries credentials";
constexpr std::string_view notEncrypted = "the storage address is not encrypted";
constexpr std::string_view contentType = "the signed content type is invalid";
constexpr std::string_view changedAfterSigning = "the file changed after signing";
constexpr std::string_view noStorageAnswer = "no answer from the storage";
constexpr std::string_view storageRefused = "the storage refused the upload: ";
constexpr std::string_view noCompletionAnswer = "no answer from the service when completing";
constexpr std::string_view completionRefused = "the service refused the completion: ";
constexpr std::string_view internal = "internal error";
}  // namespace reason

UploadOutcome failedWith(std::string_view phrase) { return UploadOutcome::failure(std::string(phrase)); }
UploadOutcome failedWith(std::string_view phrase, long status) {
    return UploadOutcome::failure(std::string(phrase) + std::to_string(status));
}

bool hasScheme(std::string_view url, std::string_view scheme) {
    if (url.size() <= scheme.size() || url[scheme.size()] != ':') {
        return false;
    }
    return std::equal(scheme.begin(), scheme.end(), url.begin(), [](char lower, char c) {
        return lower == static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    });
}

// A header value must stay on its line: a CR or LF in it would start a header of its own.
bool isSingleLine(std::string_view text) { return text.find_first_of("\r\n") == std::string_view::npos; }

// Limits "Upload Progress" lines to a few per second and to steps of at least 1%, while always
// reporting the end of the body once.
class ProgressThrottle {
public:
    // The fraction to report for this progress call, or no value to stay silent.
    std::optional<double> next(std::uint64_t sent, std::uint64_t total);

private:
    double lastFraction_ = 0.0;
    std::optional<std::int64_t> lastReportMilliseconds_;
    bool reportedEnd_ = false;
};

// Reports the progress of the form's body as "Upload Progress" lines on the main queue.
http::Progress progressLines() {
    auto throttle = std::make_shared<ProgressThrottle>();
    return [throttle](std::uint64_t sent, std::uint64_t total) {
        if (const auto fraction = throttle->next(sent, total)) {
            platform::MainQueue::shared().async(
                [fraction = *fraction] { platform::log::format("Upload Progress: %f", {fraction}); });
        }
    };
}

// The storage's answer to the form, handled on the main queue: published means stored.
UploadOutcome storageOutcome(const FormStream& stream, const http::Response& response) {
    if (!response.ok()) {
        if (!stream.failure().empty()) {
            platform::log::toStandardOutput("Error: " + stream.failure());
            return failedWith(stream.failureReason());
        }
        platform::log::toStandardOutput(*response.transportError);
        return failedWith(reason::noStorageAnswer);
    }
    platform::log::format("Response: %@", {response.body});
    // Completing an upload the storage did not accept would announce a file that is not there.
    if (!isSuccessStatus(response.status)) {
        return failedWith(reason::storageRefused, response.status);
    }
    return UploadOutcome::success();
}

// Posts the signature's fields and the file as one multipart form to the storage endpoint the
// service named; published means stored.
UploadOutcome sendToStorage(const Network& client, const std::string& fileName,
                            const std::shared_ptr<const SourceFile>& file, const Signing& signing) {
    if (auto problem = storageAddressProblem(client.baseURL(), signing.postEndpoint)) {
        platform::log::toStandardOutput("Error: The storage endpoint was refused: " + *problem + ".");
        return UploadOutcome::failure(std::move(*problem));
    }
    const co::Value& signature = *signing.signature;
    std::vector<FormField> fields;
    for (const auto& [name, value] : signature.items()) {
        fields.push_back({name, fieldText(value)});
    }
    std::optional<std::string> contentType;
    if (const auto found = signature.find("Content-Type"); found != signature.end() && found->is_string()) {
        contentType = found->get<std::string>();
        if (!isSingleLine(*contentType)) {
            platform::log::toStandardOutput("Error: The signed content type contains a line break.");
            return failedWith(reason::contentType);
        }
    }
    if (file->currentSize() != file->size()) {
        platform::log::toStandardOutput("Error: The file \"" + fileName + "\" changed after it was signed.");
        return failedWith(reason::changedAfterSigning);
    }

    auto stream = std::make_shared<FormStream>(fields, FilePart{fileName, contentType, file}, makeBoundary(fields));
    http::Request request;
    request.method = "POST";
    request.url = signing.postEndpoint;
    request.headers = {{"Content-Type", stream->contentType()}};
    request.bodySource = bodySourceFor(stream);
    return exchange<UploadOutcome>(
               client.session(), http::Role::storage, std::move(request), progressLines(),
               [stream](const http::Response& response) { return storageOutcome(*stream, response); },
               [](const std::optional<std::string>& what) {
                   logUploadInternalError(what);
                   return failedWith(reason::internal);
               })
        .value_or(failedWith(reason::internal));
}

// The signature's fields as the completion hands them back: each as the text the form carried.
co::Value completionFields(const co::Value& signature) {
    co::Value fields = co::Value::object();
    for (const auto& [name, value] : signature.items()) {
        fields[name] = fieldText(value);
    }
    return fields;
}

UploadOutcome signingFailure(const Signing& signing) {
    switch (signing.kind) {
        case Signing::Kind::noAnswer:
            return failedWith(reason::noSigningAnswer);
        case Signing::Kind::refused:
            return failedWith(reason::signingRefused, signing.status);
        case Signing::Kind::unusable:
            return failedWith(reason::signingUnusable);
        case Signing::Kind::internal:
        case Signing::Kind::signedUp:
            break;
    }
    return failedWith(reason::internal);
}

UploadOutcome completionOutcome(const Completion& completion) {
    switch (completion.kind) {
        case Completion::Kind::completed:
            return UploadOutcome::success();
        case Completion::Kind::noAnswer:
            return failedWith(reason::noCompletionAnswer);
        case Completion::Kind::refused:
            return failedWith(reason::completionRefused, completion.status);
        case Completion::Kind::internal:
            break;
    }
    return failedWith(reason::internal);
}

std::int64_t steadyMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::optional<double> ProgressThrottle::next(std::uint64_t sent, std::uint64_t total) {
    if (total == 0 || reportedEnd_) {
        return std::nullopt;
    }
    if (sent >= total) {
        reportedEnd_ = true;
        lastFraction_ = 1.0;
        return 1.0;
    }
    const double fraction = static_cast<double>(sent) / static_cast<double>(total);
    if (fraction <= lastFraction_) {
        return std::nullopt;
    }
    constexpr std::int64_t minimumPauseMilliseconds = 200;
    constexpr std::int64_t slowReportMilliseconds = 1000;
    constexpr double minimumStep = 0.01;
    const std::int64_t now = steadyMilliseconds();
    const std::int64_t since =
        lastReportMilliseconds_ ? now - *lastReportMilliseconds_ : std::numeric_limits<std::int64_t>::max();
    const bool stepped = fraction - lastFraction_ >= minimumStep && since >= minimumPauseMilliseconds;
    if (!stepped && since < slowReportMilliseconds) {
        return std::nullopt;
    }
    lastFraction_ = fraction;
    lastReportMilliseconds_ = now;
    return fraction;
}

}  // namespace

std::optional<std::string> storageAddressProblem(std::string_view serviceOrigin, std::string_view endpoint) {
    // A file:, ftp: or relative address would make the transfer read or write something other
    // than the storage.
    if (!http::isHttpUrl(endpoint)) {
        return std::string(reason::notWebAddress);
    }
    // An absolute http(s) URL: its authority runs from "//" to the path, query or fragment.
    const std::string_view afterScheme = endpoint.substr(endpoint.find(':') + 3);
    if (afterScheme.substr(0, afterScheme.find_first_of("/?#")).find('@') != std::string_view::npos) {
        return std::string(reason::credentials);
    }
    if (hasScheme(serviceOrigin, "https") && hasScheme(endpoint, "http")) {
        return std::string(reason::notEncrypted);
    }
    return std::nullopt;
}

std::string lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/') {
        path.remove_suffix(1);
    }
    if (path == "/") {
        return std::string(path);
    }
    const auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string fieldText(const co::Value& value) {
    if (value.is_string()) {
        return value.get<std::string>();
    }
    if (value.is_number_unsigned()) {
        return std::to_string(value.get<std::uint64_t>());
    }
    if (value.is_number_integer()) {
        return std::to_string(value.get<std::int64_t>());
    }
    if (value.is_number_float()) {
        // 300.0 is the integer 300; a value beyond 64 bits has no exact digits here.
        const double number = value.get<double>();
        constexpr double limit = 9.2e18;
        if (std::isfinite(number) && std::trunc(number) == number && std::fabs(number) < limit) {
            return std::to_string(static_cast<std::int64_t>(number));
        }
    }
    return {};
}

UploadOutcome uploadFile(const UploadContext& context, const std::vector<std::string>& files, std::size_t index,
                         const std::string& projectId) {
    if (index >= files.size()) {
        return failedWith(reason::internal);
    }
    // Each step is handled on the main queue; waiting for it there would wait for ever.
    if (platform::MainQueue::shared().isMainThread()) {
        platform::log::line("An upload was started on the main thread and refused.");
        return failedWith(reason::internal);
    }
    const std::string token = context.preferences.token();
    const std::string& path = files[index];
    const std::string fileName = lastPathComponent(path);
    // The size is signed and the bytes are sent from this one opened file; a file that cannot be
    // read is not announced to the service at all.
    auto opened = SourceFile::open(path);
    if (!opened.file) {
        platform::log::toStandardOutput("Error: The file \"" + path + "\" could not be read: " + opened.problem);
        return failedWith(reason::unreadable);
    }
    const std::shared_ptr<const SourceFile> file = std::move(opened.file);
    platform::log::line("Filesize: " + std::to_string(file->size()));

    Signing signing;
    try {
        signing = context.client.sign(token, fileName, projectId, file->size());
    } catch (const std::exception& error) {
        platform::log::line(std::string("The signing request could not be sent: ") + error.what());
        return failedWith(reason::internal);
    }
    if (signing.kind != Signing::Kind::signedUp) {
        return signingFailure(signing);
    }
    try {
        if (UploadOutcome stored = sendToStorage(context.client, fileName, file, signing); !stored.published) {
            return stored;
        }
        return completionOutcome(context.client.complete(token, completionFields(*signing.signature)));
    } catch (const std::exception& error) {
        logUploadInternalError(std::string(error.what()));
        return failedWith(reason::internal);
    }
}

}  // namespace galvoria::publishing
