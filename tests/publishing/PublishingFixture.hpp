#pragma once
// What the publishing tests share: the local service in process on a port of its own, a served main
// queue, a short-timeout HTTP session, the log as it is written, and the exact text of a sent form.

#include <strings.h>

#include <fstream>

#include <gtest/gtest.h>

#include "devserver/Server.hpp"
#include "platform/Dispatch.hpp"
#include "platform/PreferenceStore.hpp"
#include "service/Network.hpp"
#include "service/http/Http.hpp"
#include "tests/support/TestSupport.hpp"
#include "vocabulary/PreferenceKeys.hpp"

namespace galvoria::publishing::testing {

inline const std::string seededWorkspace = "ws-4f1c2a";  // the demo account's "Personal"
inline const std::string seededProject = "prj-3c9a02";   // "Unsorted", in that workspace

// The exact multipart/form-data body of the text parts `fields` and then the part "file".
inline std::string formText(const std::string& boundary, const std::vector<std::pair<std::string, std::string>>& fields,
                            const std::string& fileName, const std::optional<std::string>& contentType,
                            const std::string& bytes) {
    std::string form;
    for (const auto& [name, text] : fields)
        form += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + text + "\r\n";
    form += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + fileName + "\"\r\n";
    form += (contentType ? "Content-Type: " + *contentType + "\r\n" : "") + "\r\n" + bytes;
    return form + "\r\n--" + boundary + "--\r\n";
}

inline std::optional<std::string> headerOf(const devserver::RecordedRequest& request, std::string_view name) {
    for (const auto& [each, value] : request.headers)
        if (each.size() == name.size() && ::strncasecmp(each.data(), name.data(), name.size()) == 0) return value;
    return std::nullopt;
}

using galvoria::testing::patternBytes;

class PublishingTest : public ::testing::Test {
protected:
    PublishingTest() {
        if (!server_->start()) ADD_FAILURE() << "the local service did not start";
        token_ = server_->issueToken("demo@galvoria.test");
        store_.setValue(token_, prefs::apiToken);
    }
    ~PublishingTest() override {
        server_->stop();  // first, so that a stalled answer cannot hold the session's thread
        session_.reset();
    }

    // The service client of the local service, through the test's session.
    Network client() { return Network(preferences_, server_->origin(), session_.get()); }

    // The requests whose target starts with `path`, in arrival order.
    [[nodiscard]] std::vector<devserver::RecordedRequest> requestsTo(std::string_view path) const {
        auto requests = server_->recordedRequests();
        std::erase_if(requests, [&](const auto& request) { return !request.target.starts_with(path); });
        return requests;
    }
    // Writes a file in the test's folder and returns its path.
    std::string write(const std::string& name, const std::string& bytes) {
        std::ofstream(dir_.path() / name, std::ios::binary | std::ios::trunc) << bytes;
        return (dir_.path() / name).string();
    }
    galvoria::testing::LogCapture log_;  // first: it sees everything the others write
    galvoria::testing::TempDir dir_;
    std::unique_ptr<devserver::Server> server_ = std::make_unique<devserver::Server>(
        devserver::ServerOptions{.port = 0, .testMode = true, .storageDir = dir_.path() / "storage"});
    std::unique_ptr<http::Session> session_ =
        std::make_unique<http::Session>(http::SessionOptions{.stallTimeout = std::chrono::seconds(1)});
    platform::PreferenceStore store_{dir_.path() / "preferences.json"};
    Preferences preferences_{store_};
    std::string token_;

private:
    platform::MainQueueThread mainQueue_;
};

}  // namespace galvoria::publishing::testing
