#pragma once
// A fixture running the local galvoria service in process on an ephemeral port, reset before each test.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "devserver/Server.hpp"

namespace galvoria::testing {

inline devserver::Fault responding(int status, std::string body) { return {.status = status, .body = std::move(body)}; }

// The service's requests since the last call, as "METHOD target".
using Requests = std::vector<std::string>;
inline Requests takeRequests(devserver::Server& server) {
    Requests requests;
    for (const auto& request : server.recordedRequests()) requests.push_back(request.method + " " + request.target);
    server.clearRecordedRequests();
    return requests;
}

class LocalService : public ::testing::Test {
protected:
    using Headers = std::vector<std::pair<std::string, std::string>>;

    static void SetUpTestSuite() {
        ::setenv("GALVORIA_STALL_TIMEOUT_SECONDS", "1", 1);  // read when the shared HTTP session starts
        server_ = std::make_unique<devserver::Server>(devserver::ServerOptions{.port = 0, .testMode = true});
        ASSERT_TRUE(server_->start());
    }
    static void TearDownTestSuite() { server_.reset(); }
    void SetUp() override { server_->reset(); }

    static devserver::Server& server() { return *server_; }
    static std::string url(const std::string& path) { return server_->origin() + path; }
    static devserver::RecordedRequest lastRequest() {
        const auto requests = server_->recordedRequests();
        return requests.empty() ? devserver::RecordedRequest{} : requests.back();
    }

private:
    static inline std::unique_ptr<devserver::Server> server_;
};

}  // namespace galvoria::testing
