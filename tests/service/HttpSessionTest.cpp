// The HTTP seam against the local service (wire order, faults) and a tiny chunked-answer server.
#include <httplib.h>

#include <sys/stat.h>

#include <cstring>
#include <future>

#include "service/http/Http.hpp"
#include "service/http/Rules.hpp"
#include "tests/service/LocalService.hpp"
#include "tests/support/TestSupport.hpp"

namespace galvoria::http {
namespace {

using namespace std::chrono_literals;
using devserver::FaultAction;
using testing::responding;

void expectTransportFailure(const Response& response) {
    EXPECT_EQ(response.status, 0);
    ASSERT_TRUE(response.transportError.has_value());
    EXPECT_FALSE(response.transportError->empty());
}

Request withUrl(std::string url, std::string method = "GET", std::string body = {}) {
    return {.method = std::move(method), .url = std::move(url), .body = std::move(body)};
}

class HttpSession : public testing::LocalService {
protected:
    // The answer to a GET of a tiny local server whose body `provider` writes in chunks.
    Response chunkedAnswer(httplib::ContentProviderWithoutLength provider) {
        httplib::Server tiny;
        tiny.Get("/", [&](const httplib::Request&, httplib::Response& response) {
            response.set_chunked_content_provider("text/plain", provider);
        });
        const int port = tiny.bind_to_any_port("127.0.0.1");
        std::thread serving([&] { tiny.listen_after_bind(); });
        Response response = session_.perform(Role::service, withUrl("http://127.0.0.1:" + std::to_string(port) + "/"));
        tiny.stop();
        serving.join();
        return response;
    }

    Session session_{{.stallTimeout = 1s, .maxResponseBytes = 1000}};
};

// Schemes other than http and https, and addresses without one, are refused end to end by the
// storage endpoint tests of the upload.
TEST(HttpUrlCheck, AcceptsOnlyAbsoluteHttpWithHost) {
    for (const std::string url : {"http://example.com/x", "HTTPS://EXAMPLE.com", "HtTp://127.0.0.1:8470/api?x=1#f",
                                  "http://[::1]:80/", "https://user:pw@host/"})
        EXPECT_TRUE(isHttpUrl(url)) << url;
    for (const std::string url : {"http:///x", "http:example.com", "http://exa mple.com/", "http://host:8o/",
                                  "http://[::1/", "http://host/a\r\nX: y"})
        EXPECT_FALSE(isHttpUrl(url)) << ::testing::PrintToString(url);
}

// Header lines as libcurl hands them over: only the final response's count, folded lines join.
TEST(ResponseHeaderLines, InterimResponsesAreDroppedAndFoldedLinesJoin) {
    Response response;
    for (const char* line : {"HTTP/1.1 100 Continue\r\n", "X-Early: 1\r\n", "\r\n", "HTTP/1.1 200 OK\r\n",
                             "Content-Type:  text/plain \r\n", "X-Long: a\r\n", " \tb\r\n", "no colon\r\n", "\r\n"})
        detail::takeHeaderLine(response.headers, line);
    EXPECT_EQ(response.headers.size(), 2U);
    EXPECT_EQ(response.header("content-type"), "text/plain");
    EXPECT_EQ(response.header("X-Long"), "a b");
}

// Requests that must fail before a connection is opened, each aimed at the running service, and
// one to a port where nothing listens.
TEST_F(HttpSession, RefusedRequestsNeverConnect) {
    const std::string hostPort = url("").substr(7);
    std::vector<Request> refused{withUrl(url("/api/teams"), "DELETE"), withUrl(url("/api/teams"))};
    refused.back().headers = {{"Authorization", "Bearer a\r\nX-Evil: 1"}};
    for (const std::string& target : {"ftp://" + hostPort, std::string("FILE:///etc/hostname"), "dict://" + hostPort,
                                      "gopher://" + hostPort, hostPort, std::string("http://127.0.0.1:1/api/teams")})
        refused.push_back(withUrl(target));
    for (const Request& request : refused) {
        SCOPED_TRACE(request.url);
        expectTransportFailure(session_.perform(Role::service, request));
    }
    EXPECT_EQ(server().stats().connections, 0U);
}

// Stalls, dropped connections (a request dropped on a reused connection is never sent again) and
// redirects (never followed) are covered by the fault matrix; here the response size cap.
TEST_F(HttpSession, BodiesAboveTheCapEndAsTransportFailures) {
    server().setFault("teams", responding(200, std::string(1000, 'x')));
    EXPECT_EQ(session_.perform(Role::service, withUrl(url("/api/teams"))).body.size(), 1000U);
    server().setFault("teams", responding(200, std::string(1001, 'x')));
    expectTransportFailure(session_.perform(Role::service, withUrl(url("/api/teams"))));

    // No Content-Length: the cap is enforced while the body arrives.
    expectTransportFailure(chunkedAnswer([](std::size_t, httplib::DataSink& sink) {
        sink.write(std::string(1001, 'c').data(), 1001);
        sink.done();
        return true;
    }));
}

// Connections are kept per role. A POST does not go out on a connection idle for 3 s or more: it
// opens a new one, which the next POST right after it reuses. That headers go out as given, after
// nothing of ours, is proven by every service request's wire check.
TEST_F(HttpSession, PostGoesOutOnlyOnARecentlyUsedConnection) {
    const Request post = withUrl(url("/_bench/discard"), "POST", "{}");
    ASSERT_EQ(session_.perform(Role::service, withUrl(url("/api/teams"))).status, 401);
    ASSERT_EQ(session_.perform(Role::service, post).status, 204);
    EXPECT_EQ(lastRequest().body, post.body);
    EXPECT_EQ(server().stats().connections, 1U);
    ASSERT_TRUE(session_.perform(Role::storage, post).ok());
    EXPECT_EQ(server().stats().connections, 2U);
    std::this_thread::sleep_for(3200ms);  // the local service keeps idle connections for 5 s
    ASSERT_EQ(session_.perform(Role::service, post).status, 204);
    ASSERT_EQ(session_.perform(Role::service, post).status, 204);
    EXPECT_EQ(server().stats().connections, 3U);
}

// An answer trickling a few bytes a second falls under the stall rule (1 KiB/s for the stall time-out).
TEST_F(HttpSession, TricklingAnswerIsAbortedAsAStall) {
    expectTransportFailure(chunkedAnswer([](std::size_t offset, httplib::DataSink& sink) {
        if (offset >= 40) {
            sink.done();
            return true;
        }
        std::this_thread::sleep_for(250ms);  // 8 bytes a second, the whole answer in 5 s
        return sink.write("ab", 2);
    }));
}

// A CA file that is not a regular file fails an https transfer before it connects (a FIFO would
// block the TLS library's open for ever); plain http does not read it.
TEST_F(HttpSession, CaBundleMustBeARegularFile) {
    testing::TempDir dir;
    const std::string fifo = (dir.path() / "ca.fifo").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    for (const std::string& path : {fifo, dir.path().string(), (dir.path() / "missing.pem").string()}) {
        SCOPED_TRACE(path);
        Session session({.caBundle = path});
        const Response response = session.perform(Role::storage, withUrl(url("/api/teams").replace(0, 4, "https")));
        expectTransportFailure(response);
        EXPECT_NE(response.transportError->find("GALVORIA_CA_BUNDLE (" + path + ")"), std::string::npos);
        EXPECT_EQ(session.perform(Role::storage, withUrl(url("/api/teams"))).status, 401);
    }
    EXPECT_EQ(server().stats().connections, 3U);  // the http requests only
}

// A body source streamed in full with its length announced, and its progress, are proven with a
// large file by the upload pipeline's tests.
TEST_F(HttpSession, BodySourceThatFailsOrEndsEarlyAbortsTheTransfer) {
    using Reader = std::function<std::optional<std::size_t>(char*, std::size_t)>;
    const auto firstReadThen = [](std::optional<std::size_t> later) -> Reader {
        return [later, calls = 0](char* buffer, std::size_t) mutable -> std::optional<std::size_t> {
            buffer[0] = 'x';
            return calls++ == 0 ? std::optional<std::size_t>(1) : later;
        };
    };
    const std::vector<Reader> readers{
        firstReadThen(std::nullopt), firstReadThen(0),
        [](char*, std::size_t capacity) -> std::optional<std::size_t> { return capacity + 1; },
        [](char*, std::size_t) -> std::optional<std::size_t> { throw std::runtime_error("disk gone"); }};
    for (const Reader& reader : readers) {
        Request request = withUrl(url("/_bench/discard"), "POST");
        request.bodySource = BodySource{100000, reader};
        expectTransportFailure(session_.perform(Role::storage, request));
    }
}

TEST_F(HttpSession, ClosingReleasesRunningAndQueuedTransfersAndSelfWaitFails) {
    server().setFault("teams", {.action = FaultAction::stall});
    std::mutex mutex;
    std::vector<Response> completed;
    std::promise<Response> inner;
    const auto started = std::chrono::steady_clock::now();
    {
        Session session({.stallTimeout = 60s});
        session.send(Role::service, withUrl(url("/api/workspaces")), {},
                     [&](Response) { inner.set_value(session.perform(Role::service, withUrl(url("/api/teams")))); });
        for (int i = 0; i < 3; ++i) {
            session.send(Role::service, withUrl(url("/api/teams")), {}, [&](Response response) {
                std::lock_guard lock(mutex);
                completed.push_back(std::move(response));
            });
        }
        std::this_thread::sleep_for(300ms);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    expectTransportFailure(inner.get_future().get());  // awaited on the session's own thread
    ASSERT_EQ(completed.size(), 3U);
    for (const Response& response : completed) expectTransportFailure(response);
}

// Test builds take the two time-outs from the environment; other builds keep the defaults.
TEST(SessionOptionsFromEnvironment, TakesOnlyPositiveWholeSecondsInTestBuilds) {
#ifdef GALVORIA_TEST_TIMEOUT_KNOBS
    const long three = 3;
#else
    const long three = 60;
#endif
    for (const auto& [text, seconds] :
         std::vector<std::pair<const char*, long>>{{"3", three}, {"0", 60}, {"-4", 60}, {"2x", 60}, {"", 60}}) {
        ::setenv("GALVORIA_CONNECT_TIMEOUT_SECONDS", text, 1);
        ::setenv("GALVORIA_STALL_TIMEOUT_SECONDS", text, 1);
        EXPECT_EQ(SessionOptions::fromEnvironment().stallTimeout.count(), seconds) << text;
        EXPECT_EQ(SessionOptions::fromEnvironment().connectTimeout.count(), seconds == 60 ? 15 : seconds) << text;
    }
    ::unsetenv("GALVORIA_CONNECT_TIMEOUT_SECONDS");
    ::unsetenv("GALVORIA_STALL_TIMEOUT_SECONDS");
}

}  // namespace
}  // namespace galvoria::http
