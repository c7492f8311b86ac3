#pragma once
// A local service on an ephemeral port with its own storage folder, and small ways of talking to it.

#include <gtest/gtest.h>
#include <httplib.h>

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "devserver/Server.hpp"
#include "tests/support/TestSupport.hpp"

namespace galvoria::devserver::testing {

using Json = nlohmann::json;

struct Reply {
    int status = 0;  // 0: no HTTP response (transport error)
    std::string body;
    httplib::Headers headers;

    [[nodiscard]] Json json() const { return Json::parse(body, nullptr, false); }
};

inline Reply replyOf(const httplib::Result& result) {
    return result ? Reply{result->status, result->body, result->headers} : Reply{};
}

class DevserverTest : public ::testing::Test {
protected:
    void SetUp() override { startServer({.port = 0, .testMode = true, .storageDir = folder.path() / "storage"}); }

    void startServer(const ServerOptions& options) {
        server = std::make_unique<Server>(options);
        ASSERT_TRUE(server->start());
        client = std::make_unique<httplib::Client>("127.0.0.1", server->port());
        client->set_read_timeout(5, 0);
    }
    Reply post(const std::string& path, const Json& body, const std::string& token = {}) {
        const httplib::Headers headers{{"Authorization", "Bearer " + token}};
        return replyOf(client->Post(path, headers, body.dump(), "application/json"));
    }
    Reply get(const std::string& path) { return replyOf(client->Get(path)); }

    galvoria::testing::TempDir folder;
    std::unique_ptr<Server> server;
    std::unique_ptr<httplib::Client> client;
};

}  // namespace galvoria::devserver::testing
