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
#include "plugin/Preferences.hpp"
#include "publishing/MultipartForm.hpp"
#include "service/Network.hpp"

namespace galvoria::publishing {
namespace {

constexpr std::string_view signPath = "/api/upload/sign/lightroom";
constexpr std::string_view completePath = "/api/upload/complete";

bool isSuccessStatus(long status) { return status >= 200 && status < 300; }

std::string statusText(long status) { return "(status " + std::to_string(status) + ")"; }

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

// JSON as the service expects it; bytes that are not UTF-8 (a file name, say) become U+FFFD
// instead of ending the upload.
std::string encodeJson(const co::Value& value) {
    return value.dump(-1, ' ', false, co::Value::error_handler_t::replace);
}

// A response body as JSON (a top-level fragment included); no value when it is not JSON.
std::optional<co::Value> decodeJson(const std::string& body) {
    co::Value value = decodeAnswerBody(body);
    if (value.is_discarded()) {
        return std::nullopt;
    }
    return value;
}

// A header value must stay on its line: a CR or LF in it would start a header of its own.
bool isSingleLine(std::string_view text) { return text.find_first_of("\r\n") == std::string_view::npos; }

// One file's exchange, shared by the response handlers of its three steps. Apart from the
// semaphore it is touched only on the main queue once the first request has been sent.
struct Exchange {
    std::string baseURL;
    http::Session* session = nullptr;
    std::vector<http::Header> serviceHeaders;
    std::string fileName;
    std::shared_ptr<const SourceFile> file;

    platform::DispatchSemaphore done;
    UploadOutcome outcome;
    bool finished = false;

    // Ends the exchange and releases the caller: exactly once, whichever path gets here first.
    void finish(UploadOutcome result) {
        if (finished) {
            return;
        }
        finished = true;
        outcome = std::move(result);
        done.signal();
    }
};
using ExchangePtr = std::shared_ptr<Exchange>;

// Runs a step of the exchange on the main queue. A step that throws ends the exchange as a failure
// instead of leaving the caller waiting for ever.
void onMainQueue(const ExchangePtr& exchange, std::function<void()> step) {
    platform::MainQueue::shared().async([exchange, step = std::move(step)] {
        try {
            step();
        } catch (const std::exception& error) {
            platform::log::line(std::string("Upload ended by an internal error: ") + error.what());
            exchange->finish(failedWith(reason::internal));
        } catch (...) {
            platform::log::line("Upload ended by an internal error");
            exchange->finish(failedWith(reason::internal));
        }
    });
}

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

// The signature as the service sent it, shared by the steps that follow the signing: the service
// chooses its shape, and a deep value must never be copied on the way to the form.
using SignaturePtr = std::shared_ptr<const co::Value>;

void sendComplete(const ExchangePtr& exchange, const co::Value& signature);
void handleUploadResponse(const ExchangePtr& exchange, const std::shared_ptr<FormStream>& stream,
                          const SignaturePtr& signature, const http::Response& response);

void startUpload(const ExchangePtr& exchange, const std::string& endpoint, SignaturePtr signature) {
    if (auto problem = storageAddressProblem(exchange->baseURL, endpoint)) {
        platform::log::toStandardOutput("Error: The storage endpoint was refused: " + *problem + ".");
        exchange->finish(UploadOutcome::failure(std::move(*problem)));
        return;
    }

    std::vector<FormField> fields;
    for (const auto& [name, value] : signature->items()) {
        fields.push_back({name, fieldText(value)});
    }
    std::optional<std::string> contentType;
    if (const auto found = signature->find("Content-Type"); found != signature->end() && found->is_string()) {
        contentType = found->get<std::string>();
        if (!isSingleLine(*contentType)) {
            platform::log::toStandardOutput("Error: The signed content type contains a line break.");
            exchange->finish(failedWith(reason::contentType));
            return;
        }
    }
    if (exchange->file->currentSize() != exchange->file->size()) {
        platform::log::toStandardOutput("Error: The file \"" + exchange->fileName + "\" changed after it was signed.");
        exchange->finish(failedWith(reason::changedAfterSigning));
        return;
    }

    const std::string boundary = makeBoundary(fields);
    auto stream =
        std::make_shared<FormStream>(fields, FilePart{exchange->fileName, contentType, exchange->file}, boundary);
    http::Request request;
    request.method = "POST";
    request.url = endpoint;
    request.headers = {{"Content-Type", stream->contentType()}};
    request.bodySource = bodySourceFor(stream);

    auto throttle = std::make_shared<ProgressThrottle>();
    auto progress = [throttle](std::uint64_t sent, std::uint64_t total) {
        if (const auto fraction = throttle->next(sent, total)) {
            platform::MainQueue::shared().async(
                [fraction = *fraction] { platform::log::format("Upload Progress: %f", {fraction}); });
        }
    };
    exchange->session->send(http::Role::storage, std::move(request), progress,
                            [exchange, stream, signature = std::move(signature)](http::Response response) {
                                onMainQueue(exchange, [exchange, stream, signature, response = std::move(response)] {
                                    handleUploadResponse(exchange, stream, signature, response);
                                });
                            });
}

void handleSignResponse(const ExchangePtr& exchange, const http::Response& response) {
    if (!response.ok()) {
        platform::log::toStandardOutput(*response.transportError);
        exchange->finish(failedWith(reason::noSigningAnswer));
        return;
    }
    // An answer without a usable signing is a refusal when its status says so.
    const auto notSigned = [&response] {
        return isSuccessStatus(response.status) ? failedWith(reason::signingUnusable)
                                                : failedWith(reason::signingRefused, response.status);
    };
    auto json = decodeJson(response.body);
    if (!json) {
        platform::log::toStandardOutput("Response could not be decoded as JSON " + statusText(response.status));
        exchange->finish(notSigned());
        return;
    }
    platform::log::line("Upload Sign Response: Success");
    if (!json->is_object()) {
        exchange->finish(notSigned());
        return;
    }
    const auto endpoint = json->find("postEndpoint");
    const auto signature = json->find("signature");
    if (endpoint == json->end() || !endpoint->is_string() || signature == json->end() || !signature->is_object()) {
        exchange->finish(notSigned());
        return;
    }
    // Moved out of the answer, never copied: its members keep the order the form needs.
    startUpload(exchange, endpoint->get<std::string>(), std::make_shared<const co::Value>(std::move(*signature)));
}

void handleUploadResponse(const ExchangePtr& exchange, const std::shared_ptr<FormStream>& stream,
                          const SignaturePtr& signature, const http::Response& response) {
    if (!response.ok()) {
        if (!stream->failure().empty()) {
            platform::log::toStandardOutput("Error: " + stream->failure());
            exchange->finish(failedWith(stream->failureReason()));
        } else {
            platform::log::toStandardOutput(*response.transportError);
            exchange->finish(failedWith(reason::noStorageAnswer));
        }
        return;
    }
    platform::log::format("Response: %@", {response.body});
    // Completing an upload the storage did not accept would announce a file that is not there.
    if (!isSuccessStatus(response.status)) {
        exchange->finish(failedWith(reason::storageRefused, response.status));
        return;
    }
    sendComplete(exchange, *signature);
}

void sendComplete(const ExchangePtr& exchange, const co::Value& signature) {
    co::Value fields = co::Value::object();
    for (const auto& [name, value] : signature.items()) {
        fields[name] = fieldText(value);
    }
    co::Value body = co::Value::object();
    body["signature"] = std::move(fields);

    http::Request request;
    request.method = "POST";
    request.url = exchange->baseURL + std::string(completePath);
    request.headers = exchange->serviceHeaders;
    request.body = encodeJson(body);
    exchange->session->send(http::Role::service, std::move(request), {}, [exchange](http::Response response) {
        onMainQueue(exchange, [exchange, response = std::move(response)] {
            if (!response.ok()) {
                platform::log::toStandardOutput(*response.transportError);
                exchange->finish(failedWith(reason::noCompletionAnswer));
            } else if (!isSuccessStatus(response.status)) {
                exchange->finish(failedWith(reason::completionRefused, response.status));
            } else {
                exchange->finish(UploadOutcome::success());
            }
        });
    });
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
    // The handlers run on the main queue; waiting for them there would wait for ever.
    if (platform::MainQueue::shared().isMainThread()) {
        platform::log::line("An upload was started on the main thread and refused.");
        return failedWith(reason::internal);
    }
    const std::string token = prefs::stringOrEmpty(prefs::apiToken);

    auto exchange = std::make_shared<Exchange>();
    exchange->baseURL = context.baseURL;
    exchange->session = &context.session;
    exchange->serviceHeaders = {
        {"Content-Type", "application/json"}, {"Accept", "application/json"}, {"Authorization", "Bearer " + token}};

    const std::string& path = files[index];
    exchange->fileName = lastPathComponent(path);
    // The size is signed and the bytes are sent from this one opened file; a file that cannot be
    // read is not announced to the service at all.
    auto opened = SourceFile::open(path);
    if (!opened.file) {
        platform::log::toStandardOutput("Error: The file \"" + path + "\" could not be read: " + opened.problem);
        return failedWith(reason::unreadable);
    }
    exchange->file = std::move(opened.file);
    platform::log::line("Filesize: " + std::to_string(exchange->file->size()));

    co::Value body = co::Value::object();
    body["fileName"] = exchange->fileName;
    body["originalFileName"] = exchange->fileName;
    body["projectId"] = projectId;
    body["fileSize"] = std::to_string(exchange->file->size());

    http::Request request;
    request.method = "POST";
    request.url = context.baseURL + std::string(signPath);
    request.headers = exchange->serviceHeaders;
    request.body = encodeJson(body);
    try {
        context.session.send(http::Role::service, std::move(request), {}, [exchange](http::Response response) {
            onMainQueue(exchange,
                        [exchange, response = std::move(response)] { handleSignResponse(exchange, response); });
        });
    } catch (const std::exception& error) {
        platform::log::line(std::string("The signing request could not be sent: ") + error.what());
        return failedWith(reason::internal);
    }
    exchange->done.wait();
    return exchange->outcome;
}

}  // namespace galvoria::publishing
