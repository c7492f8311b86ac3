// Faults injected per route: each action behaves as announced, applies before the bearer check, counts
// its uses, and a stalled request never holds up stopping the service.

#include <future>
#include <thread>

#include "tests/devserver/DevserverFixture.hpp"

namespace galvoria::devserver::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

milliseconds since(Clock::time_point start) { return std::chrono::duration_cast<milliseconds>(Clock::now() - start); }

struct FaultCase {
    const char* name;
    Fault fault;
    std::function<void(const Reply&, milliseconds)> check;
};

class FaultActionTest : public DevserverTest, public ::testing::WithParamInterface<FaultCase> {};

// Without a token: the fault answers before the bearer check would refuse with 401.
TEST_P(FaultActionTest, BehavesAsAnnouncedOnce) {
    Fault fault = GetParam().fault;
    fault.times = 1;
    server->setFault("teams", fault);
    auto start = Clock::now();
    Reply reply = get("/api/teams");
    GetParam().check(reply, since(start));
    EXPECT_EQ(get("/api/teams").status, 401);  // used up: the real handler answers again
}

void transportError(const Reply& reply, milliseconds) { EXPECT_EQ(reply.status, 0); }

INSTANTIATE_TEST_SUITE_P(
    Actions, FaultActionTest,
    ::testing::Values(FaultCase{"Respond",
                                Fault{.action = FaultAction::respond,
                                      .status = 503,
                                      .body = "down for maintenance",
                                      .contentType = "text/plain",
                                      .headers = {{"Retry-After", "7"}}},
                                [](const Reply& reply, milliseconds) {
                                    EXPECT_EQ(reply.status, 503);
                                    EXPECT_EQ(reply.body, "down for maintenance");
                                    EXPECT_EQ(reply.headers.find("Content-Type")->second, "text/plain");
                                    EXPECT_EQ(reply.headers.find("Retry-After")->second, "7");
                                }},
                      FaultCase{"RespondAfterDelay",
                                Fault{.action = FaultAction::respond, .status = 200, .body = "{}", .delayMs = 300},
                                [](const Reply& reply, milliseconds elapsed) {
                                    EXPECT_EQ(reply.status, 200);
                                    EXPECT_GE(elapsed.count(), 300);
                                }},
                      FaultCase{"Delay", Fault{.action = FaultAction::delay, .delayMs = 300},
                                [](const Reply& reply, milliseconds elapsed) {
                                    EXPECT_EQ(reply.status, 401);
                                    EXPECT_GE(elapsed.count(), 300);
                                }},
                      FaultCase{"DropBefore", Fault{.action = FaultAction::dropBefore}, transportError},
                      FaultCase{"DropMidBody", Fault{.action = FaultAction::dropMidBody}, transportError},
                      FaultCase{"Oversized", Fault{.action = FaultAction::oversized},
                                [](const Reply& reply, milliseconds) {
                                    EXPECT_EQ(reply.status, 200);
                                    EXPECT_EQ(reply.body.size(), 20U * 1024U * 1024U);
                                    EXPECT_TRUE(reply.body.starts_with("{\"data\""));
                                }}),
    [](const auto& info) { return info.param.name; });

TEST_F(DevserverTest, DropMidBodySendsHeadersAndPartOfTheDeclaredBody) {
    server->setFault("workspaces", Fault{.action = FaultAction::dropMidBody, .body = "0123456789"});
    std::string answer = rawExchange(server->port(), "GET /api/workspaces HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(answer.starts_with("HTTP/1.1 200 OK\r\n"));
    EXPECT_NE(answer.find("Content-Length: 10\r\n"), std::string::npos);
    EXPECT_TRUE(answer.ends_with("\r\n\r\n01234")) << answer;
}

TEST_F(DevserverTest, DropBeforeSendsNothingEvenToARequestExpectingContinue) {
    server->setFault("sign", Fault{.action = FaultAction::dropBefore});
    EXPECT_EQ(rawExchange(server->port(),
                          "POST /api/upload/sign/lightroom HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n"
                          "Expect: 100-continue\r\n\r\n"),
              "");
    EXPECT_EQ(post("/api/upload/sign/lightroom", Json::object()).status, 0);
}

TEST_F(DevserverTest, FaultsReachEveryRouteBeforeItsChecks) {
    for (const std::string& route : faultRoutes()) {
        server->setFault(route, Fault{.action = FaultAction::respond, .status = 299, .body = route, .times = 1});
    }
    const std::vector<std::pair<std::string, std::string>> requests{{"POST", "/sanctum/token"},
                                                                    {"GET", "/api/teams"},
                                                                    {"GET", "/api/workspaces"},
                                                                    {"GET", "/api/workspaces/ws-none/folders"},
                                                                    {"GET", "/api/workspaces/ws-none/projects"},
                                                                    {"POST", "/api/workspaces/ws-none/folders"},
                                                                    {"POST", "/api/workspaces/ws-none/projects"},
                                                                    {"POST", "/api/upload/sign/lightroom"},
                                                                    {"POST", "/storage/upload"},
                                                                    {"POST", "/api/upload/complete"},
                                                                    {"GET", "/project/prj-none/library"}};
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const auto& [method, path] = requests[i];
        Reply reply = method == "GET" ? get(path) : post(path, Json::object());
        EXPECT_EQ(reply.status, 299) << path;
        EXPECT_EQ(reply.body, faultRoutes()[i]) << path;
    }
}

TEST_F(DevserverTest, FaultsSetOverHttpApplyUntilCleared) {
    ASSERT_EQ(post("/_test/faults", {{"route", "workspaces"}, {"action", "respond"}, {"status", 500}}).status, 204);
    EXPECT_EQ(get("/api/workspaces").status, 500);
    EXPECT_EQ(get("/api/workspaces").status, 500);
    EXPECT_EQ(client->Delete("/_test/faults")->status, 204);
    EXPECT_EQ(get("/api/workspaces").status, 401);
}

TEST_F(DevserverTest, StallHoldsUntilClearedThenAnswersForReal) {
    server->setFault("teams", Fault{.action = FaultAction::stall});
    httplib::Client impatient("127.0.0.1", server->port());
    impatient.set_read_timeout(0, 500'000);
    auto start = Clock::now();
    EXPECT_FALSE(impatient.Get("/api/teams"));
    EXPECT_LT(since(start).count(), 2000);

    auto held = std::async(std::launch::async, [this] {
        httplib::Client patient("127.0.0.1", server->port());
        return replyOf(patient.Get("/api/teams"));
    });
    EXPECT_EQ(held.wait_for(milliseconds(300)), std::future_status::timeout);
    server->clearFaults();
    EXPECT_EQ(held.get().status, 401);
}

TEST_F(DevserverTest, StopReturnsPromptlyWhileRequestsStallAndConnectionsIdle) {
    std::string token = login();  // leaves a kept-alive connection open
    server->setFault("storage", Fault{.action = FaultAction::stall});
    auto held = std::async(std::launch::async, [this] {
        httplib::Client patient("127.0.0.1", server->port());
        patient.set_read_timeout(10, 0);
        return replyOf(patient.Post("/storage/upload", "x", "text/plain"));
    });
    std::this_thread::sleep_for(milliseconds(200));
    auto start = Clock::now();
    server->stop();
    EXPECT_LT(since(start).count(), 1000);
    EXPECT_EQ(held.get().status, 0);
}

}  // namespace
}  // namespace galvoria::devserver::testing
