#pragma once
// A local service on an ephemeral port with its own storage folder, and small ways of talking to it.

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "devserver/Server.hpp"
#include "tests/support/TestSupport.hpp"

namespace galvoria::devserver::testing {

using Json = nlohmann::json;

inline constexpr const char* demoEmail = "demo@galvoria.test";
inline constexpr const char* demoPassword = "galvoria-demo";
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
    if (!result) return {};
    return {result->status, result->body, result->headers};
}

class DevserverTest : public ::testing::Test {
protected:
    void SetUp() override { startServer(options()); }

    virtual ServerOptions options() {
        ServerOptions options;
        options.port = 0;
        options.testMode = true;
        options.storageDir = folder.path() / "storage";
        return options;
    }

    void startServer(const ServerOptions& options) {
        server = std::make_unique<Server>(options);
        ASSERT_TRUE(server->start());
        client = std::make_unique<httplib::Client>("127.0.0.1", server->port());
        client->set_read_timeout(5, 0);
        client->set_keep_alive(true);
    }

    Reply post(const std::string& path, const Json& body, const std::string& token = {}) {
        return replyOf(client->Post(path.c_str(), authorization(token), body.dump(), "application/json"));
    }
    Reply get(const std::string& path, const std::string& token = {}) {
        return replyOf(client->Get(path.c_str(), authorization(token)));
    }

    std::string login() {
        Reply reply =
            post("/sanctum/token", {{"email", demoEmail}, {"password", demoPassword}, {"device_name", "c1-plugin"}});
        EXPECT_EQ(reply.status, 200) << reply.body;
        return reply.json().value("token", "");
    }

    static httplib::Headers authorization(const std::string& token) {
        if (token.empty()) return {};
        return {{"Authorization", "Bearer " + token}};
    }

    galvoria::testing::TempDir folder;
    std::unique_ptr<Server> server;
    std::unique_ptr<httplib::Client> client;
};

// Sends raw bytes on a fresh connection and returns everything the service answered until it closed
// the connection or the time ran out.
std::string rawExchange(int port, const std::string& bytes,
                        std::chrono::milliseconds timeout = std::chrono::seconds(3));

}  // namespace galvoria::devserver::testing
