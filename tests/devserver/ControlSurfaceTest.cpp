// The control surface hands out the recorded requests (bearer tokens included) and resets the
// service: any local process, a web page's cross-site text/plain POST, or a storage endpoint a
// hostile sign answer points at it must do neither, and outside test mode it does not exist.

#include "tests/devserver/DevserverFixture.hpp"

namespace galvoria::devserver::testing {
namespace {

using ControlSurfaceTest = DevserverTest;

TEST_F(ControlSurfaceTest, RefusesRequestsWithoutTheTokenOrJsonAndIsAbsentOutsideTestMode) {
    ASSERT_FALSE(server->issueToken(galvoria::testing::demoEmail).empty());
    EXPECT_EQ(get("/api/teams").status, 401);
    const std::string key(testTokenHeader);
    const std::string good = server->testToken();
    ASSERT_EQ(good.size(), 64U);
    // Rows without a content type are GETs.
    for (const auto& [path, headers, type, status] :
         std::vector<std::tuple<std::string, httplib::Headers, std::optional<std::string>, int>>{
             {"/_test/requests", {}, std::nullopt, 401},
             {"/_test/state", {{key, good.substr(1)}}, std::nullopt, 401},
             {"/_test/reset", {}, "application/json", 401},
             {"/_test/reset", {{key, good}}, "text/plain", 415},
             {"/_test/reset", {{key, good}}, "", 415},
             {"/_test/requests", {{key, good}}, std::nullopt, 200}}) {
        const httplib::Result result = type ? client->Post(path, headers, "{}", *type) : client->Get(path, headers);
        EXPECT_EQ(replyOf(result).status, status) << path << " " << type.value_or("GET");
    }
    EXPECT_EQ(server->recordedRequests().size(), 1U) << "nothing was reset";
    EXPECT_EQ(server->state()["tokens"].size(), 1U);

    startServer({.port = 0, .testMode = false, .storageDir = folder.path() / "plain"});
    EXPECT_EQ(get("/api/teams").status, 401);
    EXPECT_TRUE(server->recordedRequests().empty()) << "nothing is recorded outside test mode";
    EXPECT_EQ(replyOf(client->Post("/_test/reset", {{key, server->testToken()}}, "{}", "application/json")).status,
              404);
}

}  // namespace
}  // namespace galvoria::devserver::testing
