#include "tests/publishing/PublishingFixture.hpp"

#include <strings.h>

#include <fstream>

#include "platform/PreferenceStore.hpp"
#include "plugin/Preferences.hpp"

namespace galvoria::publishing::testing {
std::string formText(const std::string& boundary, const std::vector<std::pair<std::string, std::string>>& fields,
                     const std::string& fileName, const std::optional<std::string>& contentType,
                     const std::string& bytes) {
    std::string form;
    for (const auto& [name, text] : fields) {
        form += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + text + "\r\n";
    }
    form += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + fileName + "\"\r\n";
    form += (contentType ? "Content-Type: " + *contentType + "\r\n" : "") + "\r\n" + bytes;
    return form + "\r\n--" + boundary + "--\r\n";
}

std::optional<std::string> headerOf(const devserver::RecordedRequest& request, std::string_view name) {
    for (const auto& [each, value] : request.headers) {
        if (each.size() == name.size() && ::strncasecmp(each.data(), name.data(), name.size()) == 0) {
            return value;
        }
    }
    return std::nullopt;
}

std::string patternBytes(std::size_t count, unsigned seed) {
    std::string bytes(count, '\0');
    for (auto& byte : bytes) {
        seed = seed * 1103515245U + 12345U;
        byte = static_cast<char>(seed >> 16U);
    }
    return bytes;
}

PublishingTest::PublishingTest() {
    platform::log::setSink([this](platform::log::Channel, std::string_view text) {
        std::function<void(std::string_view)> hook;
        {
            std::lock_guard lock(logMutex_);
            log_.emplace_back(text);
            hook = hook_;
        }
        if (hook) {
            hook(text);
        }
    });
    platform::PreferenceStore::setStandardPath(dir_.path() / "preferences.json");
    session_ = std::make_unique<http::Session>(http::SessionOptions{.stallTimeout = stallTimeout});
    server_ = std::make_unique<devserver::Server>(
        devserver::ServerOptions{.port = 0, .testMode = true, .storageDir = dir_.path() / "storage"});
    if (!server_->start()) {
        ADD_FAILURE() << "the local service did not start";
        return;
    }
    token_ = server_->issueToken("demo@galvoria.test");
    platform::PreferenceStore::standard().setValue(token_, prefs::apiToken);
}

PublishingTest::~PublishingTest() {
    // The service goes first so that a stalled answer cannot hold the session's thread.
    server_->stop();
    session_.reset();
    platform::log::setSink({});
}

std::vector<devserver::RecordedRequest> PublishingTest::requestsTo(std::string_view path) const {
    auto requests = server_->recordedRequests();
    std::erase_if(requests, [&](const auto& request) { return !request.target.starts_with(path); });
    return requests;
}

std::string PublishingTest::write(const std::string& name, const std::string& bytes) {
    const auto path = dir_.path() / name;
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    return path.string();
}

std::vector<std::string> PublishingTest::logLines(std::string_view prefix) const {
    std::lock_guard lock(logMutex_);
    std::vector<std::string> lines;
    std::copy_if(log_.begin(), log_.end(), std::back_inserter(lines),
                 [&](const std::string& line) { return line.starts_with(prefix); });
    return lines;
}

void PublishingTest::onLogLine(std::function<void(std::string_view)> hook) {
    std::lock_guard lock(logMutex_);
    hook_ = std::move(hook);
}

void PublishingTest::signWith(const co::Value& signature, std::optional<std::string> endpoint, bool answerComplete) {
    const co::Value answer = {{"postEndpoint", endpoint.value_or(server_->origin() + "/_bench/discard")},
                              {"signature", signature}};
    server_->setFault("sign", {.status = 200, .body = answer.dump()});
    if (answerComplete) {
        server_->setFault("complete", {.status = 200, .body = "{}"});
    }
}

}  // namespace galvoria::publishing::testing
