// The HTTP seam against a loopback listener that records the wire bytes.
#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "service/http/Http.hpp"
#include "tests/service/WireServer.hpp"

namespace galvoria::http {
namespace {

using namespace std::chrono_literals;
using testing::WireRequest;
using testing::WireServer;

SessionOptions quickOptions() {
    SessionOptions options;
    options.connectTimeout = 2s;
    options.stallTimeout = 1s;
    options.maxResponseBytes = 1000;
    return options;
}

void expectTransportFailure(const Response& response) {
    EXPECT_EQ(response.status, 0);
    ASSERT_TRUE(response.transportError.has_value());
    EXPECT_FALSE(response.transportError->empty());
}

Response answerWith(const std::string& raw, Request request = {}) {
    WireServer server([raw](const WireRequest&) { return raw; });
    request.url = server.url("/x");
    return Session(quickOptions()).perform(Role::service, std::move(request));
}

std::vector<std::string> headersWithout(const WireRequest& request, const std::vector<std::string>& skipped) {
    std::vector<std::string> kept;
    for (const std::string& line : request.headerLines()) {
        const std::string name = line.substr(0, line.find(':'));
        if (std::find(skipped.begin(), skipped.end(), name) == skipped.end()) {
            kept.push_back(line);
        }
    }
    return kept;
}

struct UrlCase {
    const char* url;
    bool accepted;
};
class HttpUrlCheck : public ::testing::TestWithParam<UrlCase> {};
TEST_P(HttpUrlCheck, AcceptsOnlyAbsoluteHttpWithHost) { EXPECT_EQ(isHttpUrl(GetParam().url), GetParam().accepted); }
INSTANTIATE_TEST_SUITE_P(Urls, HttpUrlCheck,
                         ::testing::Values(UrlCase{"http://example.com/x", true}, UrlCase{"HTTPS://EXAMPLE.com", true},
                                           UrlCase{"HtTp://127.0.0.1:8470/api?x=1#f", true},
                                           UrlCase{"http://[::1]:80/", true}, UrlCase{"https://user:pw@host/", true},
                                           UrlCase{"file:///etc/passwd", false}, UrlCase{"FILE://x", false},
                                           UrlCase{"ftp://example.com/", false}, UrlCase{"gopher://x", false},
                                           UrlCase{"dict://x", false}, UrlCase{"example.com/x", false},
                                           UrlCase{"/x", false}, UrlCase{"", false}, UrlCase{"http://", false},
                                           UrlCase{"http:///x", false}, UrlCase{"http:example.com", false},
                                           UrlCase{"http://exa mple.com/", false}, UrlCase{"http://host:8o/", false},
                                           UrlCase{"http://[::1/", false}, UrlCase{"http://host/a\r\nX: y", false}));

// Requests that must fail before any connection is opened.
struct RefusedCase {
    const char* label;
    std::function<Request(const WireServer&)> make;
};
class RefusedRequest : public ::testing::TestWithParam<RefusedCase> {};
TEST_P(RefusedRequest, FailsWithoutConnecting) {
    WireServer server([](const WireRequest&) { return WireServer::response(200, "{}"); });
    expectTransportFailure(Session(quickOptions()).perform(Role::service, GetParam().make(server)));
    EXPECT_EQ(server.connections(), 0);
}
Request withUrl(std::string url) {
    Request request;
    request.url = std::move(url);
    return request;
}
INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedRequest,
    ::testing::Values(
        RefusedCase{"ftp", [](const WireServer& s) { return withUrl("ftp://127.0.0.1:" + std::to_string(s.port())); }},
        RefusedCase{"FILE", [](const WireServer&) { return withUrl("FILE:///etc/hostname"); }},
        RefusedCase{"dict",
                    [](const WireServer& s) { return withUrl("dict://127.0.0.1:" + std::to_string(s.port())); }},
        RefusedCase{"gopher",
                    [](const WireServer& s) { return withUrl("gopher://127.0.0.1:" + std::to_string(s.port())); }},
        RefusedCase{"schemeless", [](const WireServer& s) { return withUrl(s.url("/x").substr(7)); }},
        RefusedCase{"headerInjection",
                    [](const WireServer& s) {
                        Request r = withUrl(s.url("/x"));
                        r.headers = {{"Authorization", "Bearer a\r\nX-Evil: 1"}};
                        return r;
                    }},
        RefusedCase{"method",
                    [](const WireServer& s) {
                        Request r = withUrl(s.url("/x"));
                        r.method = "DELETE";
                        return r;
                    }}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(HttpWire, GivenHeadersGoOutInOrderWithoutLibraryDefaults) {
    WireServer server([](const WireRequest&) { return WireServer::response(200, "{}"); });
    Session session(quickOptions());
    Request get = withUrl(server.url("/api/teams"));
    get.headers = {{"Content-Type", "application/json"},
                   {"Accept", "application/json"},
                   {"User-Agent", "CaptureOne"},
                   {"Authorization", "Bearer "}};
    ASSERT_TRUE(session.perform(Role::service, get).ok());
    Request post = withUrl(server.url("/upload"));
    post.method = "POST";
    post.headers = {{"X-Second", "2"}, {"X-First", "1"}};
    post.body = std::string(4096, 'b');  // large enough that libcurl would otherwise wait for a 100-continue
    ASSERT_TRUE(session.perform(Role::service, post).ok());

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 2U);
    EXPECT_TRUE(requests[0].head.starts_with("GET /api/teams HTTP/1.1\r\n"));
    EXPECT_EQ(headersWithout(requests[0], {"Host"}),
              (std::vector<std::string>{"Content-Type: application/json", "Accept: application/json",
                                        "User-Agent: CaptureOne", "Authorization: Bearer "}));
    EXPECT_TRUE(requests[1].head.starts_with("POST /upload HTTP/1.1\r\n"));
    EXPECT_EQ(headersWithout(requests[1], {"Host"}),
              (std::vector<std::string>{"X-Second: 2", "X-First: 1", "Content-Length: 4096"}));
    EXPECT_EQ(requests[1].body, post.body);
}

TEST(HttpWire, ReadsFinalResponseHeadersInOrderAndKeepsConnection) {
    WireServer server([](const WireRequest&) {
        return "HTTP/1.1 100 Continue\r\nX-Interim: 1\r\n\r\n" +
               WireServer::response(201, "ok", {"X-B: second", "x-a: first", "X-Folded: one", "  two"});
    });
    Session session(quickOptions());
    const Response response = session.perform(Role::service, withUrl(server.url("/x")));
    ASSERT_TRUE(response.ok()) << *response.transportError;
    EXPECT_EQ(response.status, 201);
    EXPECT_EQ(response.body, "ok");
    ASSERT_EQ(response.headers.size(), 4U);
    EXPECT_EQ(response.headers[0].name, "X-B");
    EXPECT_EQ(response.header("X-A"), "first");
    EXPECT_EQ(response.header("x-folded"), "one two");
    EXPECT_FALSE(response.header("X-Interim"));

    ASSERT_TRUE(session.perform(Role::service, withUrl(server.url("/y"))).ok());
    EXPECT_EQ(server.connections(), 1);  // the service role's connection was kept alive
    ASSERT_TRUE(session.perform(Role::storage, withUrl(server.url("/z"))).ok());
    EXPECT_EQ(server.connections(), 2);
}

TEST(HttpWire, RedirectIsAStatusNotFollowed) {
    WireServer server([](const WireRequest&) { return WireServer::response(302, "moved", {"Location: /target"}); });
    const Response response = Session(quickOptions()).perform(Role::service, withUrl(server.url("/start")));
    EXPECT_EQ(response.status, 302);
    EXPECT_EQ(response.body, "moved");
    EXPECT_EQ(server.requests().size(), 1U);
}

std::string chunked(std::size_t bytes) {
    char size[32];
    std::snprintf(size, sizeof size, "%zx", bytes);
    return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(size) + "\r\n" +
           std::string(bytes, 'c') + "\r\n0\r\n\r\n";
}

struct BodyCase {
    const char* label;
    std::string raw;
    bool ok;
};
class ResponseSize : public ::testing::TestWithParam<BodyCase> {};
TEST_P(ResponseSize, BodiesAboveTheCapFail) {
    const Response response = answerWith(GetParam().raw);
    if (GetParam().ok) {
        EXPECT_TRUE(response.ok());
        EXPECT_EQ(response.body.size(), 1000U);
    } else {
        expectTransportFailure(response);
    }
}
INSTANTIATE_TEST_SUITE_P(
    Cases, ResponseSize,
    ::testing::Values(BodyCase{"declaredAtCap", WireServer::response(200, std::string(1000, 'x')), true},
                      BodyCase{"declaredAbove", WireServer::response(200, std::string(1001, 'x')), false},
                      BodyCase{"chunkedAtCap", chunked(1000), true}, BodyCase{"chunkedAbove", chunked(1001), false}),
    [](const auto& info) { return std::string(info.param.label); });

// A silent server, or one that stops mid-body, ends as a transport failure after the stall time.
class Stall : public ::testing::TestWithParam<std::optional<std::string>> {};
TEST_P(Stall, EndsAsTransportFailure) {
    const auto raw = GetParam();
    WireServer server([raw](const WireRequest&) { return raw; });
    const auto started = std::chrono::steady_clock::now();
    expectTransportFailure(Session(quickOptions()).perform(Role::service, withUrl(server.url("/x"))));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, Stall,
    ::testing::Values(std::nullopt, std::optional<std::string>("HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\n{")));

TEST(HttpWire, RefusedConnectionIsTransportFailure) {
    std::string url;
    {
        WireServer server([](const WireRequest&) { return std::nullopt; });
        url = server.url("/x");
    }
    expectTransportFailure(Session(quickOptions()).perform(Role::service, withUrl(url)));
}

BodySource patternSource(std::uint64_t size) {
    auto offset = std::make_shared<std::uint64_t>(0);
    return {size, [offset](char* buffer, std::size_t capacity) -> std::optional<std::size_t> {
                const std::size_t count = std::min<std::size_t>(capacity, 99991);
                for (std::size_t i = 0; i < count; ++i) {
                    buffer[i] = static_cast<char>('a' + (*offset + i) % 26);
                }
                *offset += count;
                return count;
            }};
}

TEST(HttpBodySource, StreamsWithContentLengthAndReportsProgress) {
    WireServer server([](const WireRequest&) { return WireServer::response(204, ""); });
    const std::uint64_t size = 3U * 1024U * 1024U + 17U;
    Request request = withUrl(server.url("/storage"));
    request.method = "POST";
    request.headers = {{"Content-Type", "multipart/form-data; boundary=b"}};
    request.bodySource = patternSource(size);
    std::vector<std::uint64_t> sent;
    const Response response = Session(quickOptions()).perform(Role::storage, request, [&](auto now, auto total) {
        EXPECT_EQ(total, size);
        sent.push_back(now);
    });
    ASSERT_TRUE(response.ok()) << *response.transportError;
    EXPECT_EQ(response.status, 204);
    const WireRequest wire = server.requests().at(0);
    EXPECT_EQ(headersWithout(wire, {"Host"}), (std::vector<std::string>{"Content-Type: multipart/form-data; boundary=b",
                                                                        "Content-Length: " + std::to_string(size)}));
    ASSERT_EQ(wire.body.size(), size);
    EXPECT_EQ(wire.body[size - 1], static_cast<char>('a' + (size - 1) % 26));
    ASSERT_FALSE(sent.empty());
    EXPECT_TRUE(std::is_sorted(sent.begin(), sent.end()));
    EXPECT_EQ(std::adjacent_find(sent.begin(), sent.end()), sent.end());  // reported only on change
    EXPECT_EQ(sent.back(), size);
}

using Reader = std::function<std::optional<std::size_t>(char*, std::size_t)>;
class FailingBodySource : public ::testing::TestWithParam<std::pair<const char*, Reader>> {};
TEST_P(FailingBodySource, AbortsTheTransfer) {
    WireServer server([](const WireRequest&) { return WireServer::response(200, "{}"); });
    Request request = withUrl(server.url("/storage"));
    request.method = "POST";
    request.bodySource = BodySource{100000, GetParam().second};
    expectTransportFailure(Session(quickOptions()).perform(Role::storage, request));
    EXPECT_TRUE(server.requests().empty());
}
Reader afterFirstRead(std::optional<std::size_t> later) {
    auto calls = std::make_shared<int>(0);
    return [calls, later](char* buffer, std::size_t capacity) -> std::optional<std::size_t> {
        if ((*calls)++ > 0) {
            return later;
        }
        std::fill_n(buffer, std::min<std::size_t>(capacity, 10), 'x');
        return std::min<std::size_t>(capacity, 10);
    };
}
INSTANTIATE_TEST_SUITE_P(
    Cases, FailingBodySource,
    ::testing::Values(std::make_pair("error", afterFirstRead(std::nullopt)),
                      std::make_pair("endsEarly", afterFirstRead(0)),
                      std::make_pair("overfills", Reader([](char*, std::size_t capacity) -> std::optional<std::size_t> {
                                         return capacity + 1;
                                     })),
                      std::make_pair("throws", Reader([](char*, std::size_t) -> std::optional<std::size_t> {
                                         throw std::runtime_error("disk gone");
                                     }))),
    [](const auto& info) { return std::string(info.param.first); });

TEST(HttpSessionLifetime, ClosingReleasesRunningAndQueuedTransfers) {
    WireServer server([](const WireRequest&) { return std::nullopt; });
    std::mutex mutex;
    std::vector<Response> completed;
    const auto started = std::chrono::steady_clock::now();
    {
        SessionOptions options = quickOptions();
        options.stallTimeout = 60s;
        Session session(options);
        for (int i = 0; i < 3; ++i) {
            session.send(Role::service, withUrl(server.url("/hang")), {}, [&](Response response) {
                std::lock_guard lock(mutex);
                completed.push_back(std::move(response));
            });
        }
        std::this_thread::sleep_for(200ms);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, 10s);
    ASSERT_EQ(completed.size(), 3U);
    for (const Response& response : completed) {
        expectTransportFailure(response);
    }
}

TEST(HttpSessionLifetime, AwaitingOnTheSessionThreadFailsInsteadOfDeadlocking) {
    WireServer server([](const WireRequest&) { return WireServer::response(200, "{}"); });
    Session session(quickOptions());
    std::promise<Response> inner;
    session.send(Role::service, withUrl(server.url("/a")), {},
                 [&](Response) { inner.set_value(session.perform(Role::service, withUrl(server.url("/b")))); });
    expectTransportFailure(inner.get_future().get());
}

struct EnvCase {
    const char* value;
    std::chrono::seconds expected;
};
class StallFromEnvironment : public ::testing::TestWithParam<EnvCase> {};
TEST_P(StallFromEnvironment, TakesOnlyPositiveWholeSeconds) {
    ::setenv("GALVORIA_STALL_TIMEOUT_SECONDS", GetParam().value, 1);
    EXPECT_EQ(SessionOptions::fromEnvironment().stallTimeout, GetParam().expected);
    ::unsetenv("GALVORIA_STALL_TIMEOUT_SECONDS");
}
INSTANTIATE_TEST_SUITE_P(Cases, StallFromEnvironment,
                         ::testing::Values(EnvCase{"3", 3s}, EnvCase{"0", 60s}, EnvCase{"-4", 60s}, EnvCase{"2x", 60s},
                                           EnvCase{"", 60s}));

}  // namespace
}  // namespace galvoria::http
