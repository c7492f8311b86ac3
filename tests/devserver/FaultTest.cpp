// Faults injected per route: an answer carries the headers it was given and waits as long as it was
// told, applies before the bearer check and counts its uses; a stalled request never holds up stopping
// the service.

#include <future>
#include <thread>

#include "tests/devserver/DevserverFixture.hpp"

namespace galvoria::devserver::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class FaultTest : public DevserverTest {
protected:
    // Sets `fault` for one request to the teams route, sends it without a token (the fault answers
    // before the bearer check) and checks that the next request reaches the real handler again.
    Reply once(Fault fault, milliseconds atLeast = milliseconds(0)) {
        fault.times = 1;
        server->setFault("teams", fault);
        const auto start = Clock::now();
        const Reply reply = get("/api/teams");
        EXPECT_GE(Clock::now() - start, atLeast);
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

// Tests stop their service while the plugin's session keeps connections open or a request stalls.
TEST_F(FaultTest, StopReturnsPromptlyWhileRequestsStallAndConnectionsIdle) {
    client->set_keep_alive(true);
    EXPECT_EQ(get("/api/teams").status, 401);  // leaves a kept-alive connection open
    server->setFault("storage", Fault{.action = FaultAction::stall});
    auto held = std::async(std::launch::async, [this] {
        httplib::Client patient("127.0.0.1", server->port());
        patient.set_read_timeout(10, 0);
        return replyOf(patient.Post("/storage/upload", "x", "text/plain"));
    });
    std::this_thread::sleep_for(milliseconds(200));
    const auto start = Clock::now();
    server->stop();
    EXPECT_LT(Clock::now() - start, milliseconds(1000));
    EXPECT_EQ(held.get().status, 0);
}

}  // namespace
}  // namespace galvoria::devserver::testing
