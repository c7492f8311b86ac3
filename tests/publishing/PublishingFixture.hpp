#pragma once
// What the publishing tests share: the local service in process on a port of its own, a served main
// queue, a short-timeout HTTP session, the log as it is written, and a strict reader of a sent form.

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "devserver/Server.hpp"
#include "framework/Value.hpp"
#include "platform/Dispatch.hpp"
#include "platform/Log.hpp"
#include "service/http/Http.hpp"
#include "tests/support/TestSupport.hpp"

namespace galvoria::publishing::testing {

inline const std::string seededWorkspace = "ws-4f1c2a";  // the demo account's "Personal"
inline const std::string seededProject = "prj-3c9a02";   // "Unsorted", in that workspace

// The exact multipart/form-data body of the text parts `fields` and then the part "file".
std::string formText(const std::string& boundary, const std::vector<std::pair<std::string, std::string>>& fields,
                     const std::string& fileName, const std::optional<std::string>& contentType,
                     const std::string& bytes);
std::optional<std::string> headerOf(const devserver::RecordedRequest& request, std::string_view name);
// `count` bytes of a pattern that differs from offset to offset.
std::string patternBytes(std::size_t count, unsigned seed = 1);

class PublishingTest : public ::testing::Test {
protected:
    PublishingTest();
    ~PublishingTest() override;

    // The requests whose target starts with `path`, in arrival order.
    [[nodiscard]] std::vector<devserver::RecordedRequest> requestsTo(std::string_view path) const;
    // Writes a file in the test's folder and returns its path.
    std::string write(const std::string& name, const std::string& bytes);
    // Log and standard-output lines that start with `prefix`.
    [[nodiscard]] std::vector<std::string> logLines(std::string_view prefix) const;
    // Runs for every line as it is written (the upload's lines on the main queue).
    void onLogLine(std::function<void(std::string_view)> hook);
    // Answers the signing with `signature` and a storage endpoint that reads any well-formed form and
    // keeps nothing (or `endpoint`), and, with `answerComplete`, the completion with success.
    // Requests answered this way are recorded without their bodies.
    void signWith(const co::Value& signature, std::optional<std::string> endpoint = std::nullopt,
                  bool answerComplete = true);

    static constexpr std::chrono::seconds stallTimeout{1};

    galvoria::testing::TempDir dir_;
    std::unique_ptr<devserver::Server> server_;
    std::unique_ptr<http::Session> session_;
    std::string token_;

private:
    platform::MainQueueThread mainQueue_;
    mutable std::mutex logMutex_;
    std::vector<std::string> log_;
    std::function<void(std::string_view)> hook_;
};

}  // namespace galvoria::publishing::testing
