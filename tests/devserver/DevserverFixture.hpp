#pragma once
// A local service on an ephemeral port with its own storage folder, and small ways of talking to it.

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "devserver/Server.hpp"
#include "tests/support/TestSupport.hpp"

namespace galvoria::devserver::testing {

using Json = nlohmann::json;

using galvoria::testing::demoEmail;
using galvoria::testing::demoPassword;
inline constexpr const char* personalWorkspace = "ws-4f1c2a";
inline constexpr const char* lockedWorkspace = "ws-0a6d93";  // its permissions forbid creating anything
inline constexpr const char* portraitProject = "prj-2b7f31";

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
    void SetUp() override { startServer(options()); }

    [[nodiscard]] ServerOptions options() const {
        return {.port = 0, .testMode = true, .storageDir = folder.path() / "storage"};
    }
    void startServer(const ServerOptions& options) {
        server = std::make_unique<Server>(options);
        ASSERT_TRUE(server->start());
        client = std::make_unique<httplib::Client>("127.0.0.1", server->port());
        client->set_read_timeout(5, 0);
        client->set_keep_alive(true);
    }

    Reply post(const std::string& path, const Json& body, const std::string& token = {}) {
        return replyOf(client->Post(path, authorization(token), body.dump(), "application/json"));
    }
    Reply get(const std::string& path, const std::string& token = {}) {
        return replyOf(client->Get(path, authorization(token)));
    }
    // A request to the control surface, with the test token; a body goes as JSON.
    Reply control(const std::string& method, const std::string& path, const std::optional<Json>& body = {}) {
        const httplib::Headers headers{{std::string(testTokenHeader), server->testToken()}};
        const std::string text = body ? body->dump() : std::string();
        if (method == "GET") return replyOf(client->Get(path, headers));
        if (method == "DELETE") return replyOf(client->Delete(path, headers));
        return replyOf(client->Post(path, headers, body ? text : "{}", "application/json"));
    }
    std::string login() {
        const Reply reply =
            post("/sanctum/token", {{"email", demoEmail}, {"password", demoPassword}, {"device_name", "c1-plugin"}});
        EXPECT_EQ(reply.status, 200) << reply.body;
        return reply.json().value("token", "");
    }
    static httplib::Headers authorization(const std::string& token) {
        return token.empty() ? httplib::Headers{} : httplib::Headers{{"Authorization", "Bearer " + token}};
    }

    galvoria::testing::TempDir folder;
    std::unique_ptr<Server> server;
    std::unique_ptr<httplib::Client> client;
};

using galvoria::testing::rawExchange;

}  // namespace galvoria::devserver::testing
