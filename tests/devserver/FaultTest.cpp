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

class FaultTest : public DevserverTest {
protected:
    // Sets `fault` for one request to the teams route, sends it without a token (the fault answers
    // before the bearer check) and checks that the next request reaches the real handler again.
    Reply once(Fault fault, milliseconds atLeast = milliseconds(0)) {
        fault.times = 1;
        server->setFault("teams", fault);
        const auto start = Clock::now();
        const Reply reply = get("/api/teams");
        EXPECT_GE(since(start), atLeast);
        EXPECT_EQ(get("/api/teams").status, 401);
        return reply;
    }
};

TEST_F(FaultTest, EachActionBehavesAsAnnouncedOnce) {
    const Reply respond =
        once({.status = 503, .body = "down", .contentType = "text/plain", .headers = {{"Retry-After", "7"}}});
    EXPECT_EQ(respond.headers.find("Content-Type")->second, "text/plain");
    EXPECT_EQ(respond.headers.find("Retry-After")->second, "7");
    EXPECT_EQ(once({.status = 200, .body = "{}", .delayMs = 300}, milliseconds(300)).status, 200);
    EXPECT_EQ(once({.action = FaultAction::delay, .delayMs = 300}, milliseconds(300)).status, 401);
}

// Not even a request that waits for "100 Continue" hears anything.
TEST_F(FaultTest, DropBeforeAnswersNothing) {
    server->setFault("sign", Fault{.action = FaultAction::dropBefore});
    EXPECT_EQ(rawExchange(server->port(),
                          "POST /api/upload/sign/lightroom HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n"
                          "Expect: 100-continue\r\n\r\n"),
              "");
    EXPECT_EQ(post("/api/upload/sign/lightroom", Json::object()).status, 0);
}

// The fault matrix faults every other route, where each fault must change the exchange's outcome.
TEST_F(FaultTest, FaultsReachTheLibraryPages) {
    server->setFault("library", {.status = 299, .body = "library"});
    EXPECT_EQ(get("/project/prj-none/library").body, "library");
}

TEST_F(FaultTest, StallHoldsUntilClearedThenAnswersForReal) {
    server->setFault("teams", Fault{.action = FaultAction::stall});
    auto held = std::async(std::launch::async, [this] {
        httplib::Client patient("127.0.0.1", server->port());
        return replyOf(patient.Get("/api/teams"));
    });
    EXPECT_EQ(held.wait_for(milliseconds(300)), std::future_status::timeout);
    server->clearFaults();
    EXPECT_EQ(held.get().status, 401);
}

TEST_F(FaultTest, StopReturnsPromptlyWhileRequestsStallAndConnectionsIdle) {
    login();  // leaves a kept-alive connection open
    server->setFault("storage", Fault{.action = FaultAction::stall});
    auto held = std::async(std::launch::async, [this] {
        httplib::Client patient("127.0.0.1", server->port());
        patient.set_read_timeout(10, 0);
        return replyOf(patient.Post("/storage/upload", "x", "text/plain"));
    });
    std::this_thread::sleep_for(milliseconds(200));
    const auto start = Clock::now();
    server->stop();
    EXPECT_LT(since(start).count(), 1000);
    EXPECT_EQ(held.get().status, 0);
}

}  // namespace
}  // namespace galvoria::devserver::testing
