#include "publishing/UploadPipeline.hpp"

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
            exchange->finish(UploadOutcome::failure("an internal error ended the upload"));
        } catch (...) {
            platform::log::line("Upload ended by an internal error");
            exchange->finish(UploadOutcome::failure("an internal error ended the upload"));
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

void sendComplete(const ExchangePtr& exchange, const co::Value& signature);
void handleUploadResponse(const ExchangePtr& exchange, const std::shared_ptr<FormStream>& stream,
                          const co::Value& signature, const http::Response& response);

void startUpload(const ExchangePtr& exchange, const std::string& endpoint, const co::Value& signature) {
    // Only a storage endpoint on the web is acceptable: a file:, ftp: or relative address would
    // make the transfer read or write something other than the storage.
    if (!http::isHttpUrl(endpoint)) {
        platform::log::toStandardOutput("Error: The storage endpoint is not an http or https URL.");
        exchange->finish(UploadOutcome::failure("the storage endpoint is not an http or https URL"));
        return;
    }

    std::vector<FormField> fields;
    for (const auto& [name, value] : signature.items()) {
        fields.push_back({name, fieldText(value)});
    }
    std::optional<std::string> contentType;
    if (const auto found = signature.find("Content-Type"); found != signature.end() && found->is_string()) {
        contentType = found->get<std::string>();
        if (!isSingleLine(*contentType)) {
            platform::log::toStandardOutput("Error: The signed content type contains a line break.");
            exchange->finish(UploadOutcome::failure("the signed content type is not a valid header value"));
            return;
        }
    }
    if (exchange->file->currentSize() != exchange->file->size()) {
        platform::log::toStandardOutput("Error: The file \"" + exchange->fileName + "\" changed after it was signed.");
        exchange->finish(UploadOutcome::failure("the file changed size after it was signed"));
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
                            [exchange, stream, signature](http::Response response) {
                                onMainQueue(exchange, [exchange, stream, signature, response = std::move(response)] {
                                    handleUploadResponse(exchange, stream, signature, response);
                                });
                            });
}

void handleSignResponse(const ExchangePtr& exchange, const http::Response& response) {
    if (!response.ok()) {
        platform::log::toStandardOutput(*response.transportError);
        exchange->finish(UploadOutcome::failure("the signing request failed: " + *response.transportError));
        return;
    }
    const auto json = decodeJson(response.body);
    if (!json) {
        platform::log::toStandardOutput("Response could not be decoded as JSON " + statusText(response.status));
        exchange->finish(UploadOutcome::failure("the signing response was not JSON " + statusText(response.status)));
        return;
    }
    platform::log::line("Upload Sign Response: Success");
    if (!json->is_object()) {
        exchange->finish(UploadOutcome::failure("the service did not sign the upload " + statusText(response.status)));
        return;
    }
    const auto endpoint = json->find("postEndpoint");
    const auto signature = json->find("signature");
    if (endpoint == json->end() || !endpoint->is_string() || signature == json->end() || !signature->is_object()) {
        exchange->finish(UploadOutcome::failure("the service did not sign the upload " + statusText(response.status)));
        return;
    }
    startUpload(exchange, endpoint->get<std::string>(), *signature);
}

void handleUploadResponse(const ExchangePtr& exchange, const std::shared_ptr<FormStream>& stream,
                          const co::Value& signature, const http::Response& response) {
    if (!response.ok()) {
        if (!stream->failure().empty()) {
            platform::log::toStandardOutput("Error: " + stream->failure());
            exchange->finish(UploadOutcome::failure(stream->failure()));
        } else {
            platform::log::toStandardOutput(*response.transportError);
            exchange->finish(
                UploadOutcome::failure("the upload to the storage endpoint failed: " + *response.transportError));
        }
        return;
    }
    platform::log::format("Response: %@", {response.body});
    // Completing an upload the storage did not accept would announce a file that is not there.
    if (!isSuccessStatus(response.status)) {
        exchange->finish(
            UploadOutcome::failure("the storage endpoint refused the upload " + statusText(response.status)));
        return;
    }
    sendComplete(exchange, signature);
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
                exchange->finish(UploadOutcome::failure("the completion request failed: " + *response.transportError));
            } else if (!isSuccessStatus(response.status)) {
                exchange->finish(
                    UploadOutcome::failure("the service did not complete the upload " + statusText(response.status)));
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
        return UploadOutcome::failure("no file at this position of the task");
    }
    // The handlers run on the main queue; waiting for them there would wait for ever.
    if (platform::MainQueue::shared().isMainThread()) {
        platform::log::line("An upload was started on the main thread and refused.");
        return UploadOutcome::failure("the upload was started on the main thread");
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
        return UploadOutcome::failure("the file could not be read: " + opened.problem);
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
        return UploadOutcome::failure("the signing request could not be sent");
    }
    exchange->done.wait();
    return exchange->outcome;
}

}  // namespace galvoria::publishing
