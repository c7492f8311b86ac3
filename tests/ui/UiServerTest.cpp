// The web page's server in this process, without a plugin: who it answers, what it serves and what
// it keeps of the files the browser sends.

#include <gtest/gtest.h>
#include <httplib.h>

#include <fstream>
#include <thread>

#include "host/ui/PhotoShelf.hpp"
#include "host/ui/UiSecurity.hpp"
#include "host/ui/UiServer.hpp"
#include "tests/support/TestSupport.hpp"

namespace galvoria::host::ui {
namespace {
namespace fs = std::filesystem;
using galvoria::testing::rawExchange;

class UiServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir_.path() / "page");
        std::ofstream(dir_.path() / "page" / "index.html") << "<!doctype html><title>page</title>";
        std::ofstream(dir_.path() / "page" / "app.js") << "export {};";
        std::ofstream(dir_.path() / "secret.txt") << "not a page file";
        std::ofstream(dir_.path() / "IMG_1.jpg", std::ios::binary) << "jpeg bytes";
        fs::create_directory(dir_.path() / "uploads");
        shelf_ = std::make_unique<PhotoShelf>(dir_.path() / "uploads");
        shelf_->addGiven(dir_.path() / "IMG_1.jpg");
        server_ = std::make_unique<UiServer>(nullptr, *shelf_, dir_.path() / "page");
        std::string problem;
        ASSERT_TRUE(server_->bind(0, problem)) << problem;
        serving_ = std::thread([this] { server_->serve(); });
        client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
    }
    void TearDown() override {
        server_->stop();
        serving_.join();
    }

    [[nodiscard]] std::string origin() const { return "http://127.0.0.1:" + std::to_string(server_->port()); }
    // The headers of the page's own requests, with the session's cookie once it has one.
    [[nodiscard]] httplib::Headers page() const {
        httplib::Headers headers{{"Origin", origin()}};
        if (!cookie_.empty()) headers.emplace("Cookie", std::string(cookieName) + "=" + cookie_);
        return headers;
    }
    httplib::Result post(const std::string& path, const std::string& body) {
        return client_->Post(path, page(), body, "application/json");
    }
    void startSession() {
        const auto answer = post("/api/session", R"({"key":")" + server_->secret() + R"("})");
        ASSERT_TRUE(answer);
        ASSERT_EQ(answer->status, 204);
        const auto set = answer->get_header_value("Set-Cookie");
        EXPECT_NE(set.find("; HttpOnly; SameSite=Strict; Path=/"), std::string::npos) << set;
        cookie_ = cookieValue(set.substr(0, set.find(';')), cookieName).value_or("");
        ASSERT_EQ(cookie_.size(), 32U);
    }
    httplib::Result upload(const std::string& encodedName, const std::string& bytes) {
        auto headers = page();
        headers.emplace("X-File-Name", encodedName);
        return client_->Post("/api/photos", headers, bytes, "application/octet-stream");
    }

    galvoria::testing::TempDir dir_;
    std::unique_ptr<PhotoShelf> shelf_;
    std::unique_ptr<UiServer> server_;
    std::thread serving_;
    std::unique_ptr<httplib::Client> client_;
    std::string cookie_;
};

TEST_F(UiServerTest, EveryRequestIsHeldToTheKeyHostOriginAndCookie) {
    const auto wrongKey = post("/api/session", R"({"key":"0123456789abcdef0123456789abcdef"})");
    ASSERT_TRUE(wrongKey);
    EXPECT_EQ(wrongKey->status, 403);
    startSession();
    const std::string port = std::to_string(server_->port());
    const std::string goodCookie = std::string(cookieName) + "=" + cookie_;
    const std::string photoId = R"({"id":"p99"})";
    struct Row {
        std::string method;
        std::string path;
        httplib::Headers headers;
        int status;
        std::string body;
    };
    const Row rows[] = {
        // The key opens one session only; its cookie goes on working.
        {"POST", "/api/session", {{"Origin", origin()}}, 403, R"({"key":")" + server_->secret() + R"("})"},
        {"POST", "/api/session", {{"Origin", origin()}}, 403, R"({"key":7})"},
        {"POST", "/api/session", {{"Origin", origin()}}, 400, "not json"},
        {"GET", "/api/state", {{"Cookie", goodCookie}}, 200},
        {"GET", "/", {}, 200},
        {"GET", "/app.js", {{"Host", "localhost:" + port}}, 200},
        {"GET", "/", {{"Host", "evil.example:" + port}}, 421},
        {"GET", "/api/state", {}, 401},
        {"GET", "/api/state", {{"Cookie", std::string(cookieName) + "=" + std::string(32, '0')}}, 401},
        {"GET", "/api/state", {{"Cookie", std::string(cookieName) + "=" + server_->secret()}}, 401},
        {"GET", "/api/events", {}, 401},
        {"POST", "/api/photos/remove", {{"Cookie", goodCookie}}, 403, photoId},
        {"POST", "/api/photos/remove", {{"Cookie", goodCookie}, {"Origin", "http://evil.example"}}, 403, photoId},
        {"POST", "/api/photos/remove", {{"Origin", origin()}}, 401, photoId},
        {"POST", "/api/photos/remove", {{"Cookie", goodCookie}, {"Origin", origin()}}, 404, photoId},
        {"PUT", "/api/state", {{"Cookie", goodCookie}, {"Origin", origin()}}, 405},
        {"OPTIONS", "/api/state", {{"Origin", "http://evil.example"}}, 405},
        {"DELETE", "/index.html", {}, 405},
        {"HEAD", "/api/state", {{"Cookie", goodCookie}}, 405},
    };
    for (const auto& row : rows) {
        httplib::Request request;
        request.method = row.method;
        request.path = row.path;
        request.headers = row.headers;
        request.body = row.body;
        const auto answer = client_->send(request);
        ASSERT_TRUE(answer) << row.method << " " << row.path;
        EXPECT_EQ(answer->status, row.status) << row.method << " " << row.path << " " << row.body;
        EXPECT_EQ(answer->get_header_value("Content-Security-Policy"), "default-src 'self'");
        EXPECT_EQ(answer->get_header_value("X-Content-Type-Options"), "nosniff");
        EXPECT_EQ(answer->get_header_value("X-Frame-Options"), "DENY");
        EXPECT_EQ(answer->get_header_value("Referrer-Policy"), "no-referrer");
        EXPECT_EQ(answer->get_header_value("Cache-Control"), "no-store");
        for (const auto& [name, value] : answer->headers) {
            EXPECT_NE(name.rfind("Access-Control-", 0), 0U) << name;
            EXPECT_NE(name, "Set-Cookie");
        }
        EXPECT_EQ(answer->body.find(server_->secret()), std::string::npos);
        EXPECT_EQ(answer->body.find(cookie_), std::string::npos);
    }
}

TEST_F(UiServerTest, OnlyListedPhotosAndPageFilesAreServed) {
    startSession();
    const auto listed = client_->Get("/api/photos/p1", page());
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->status, 200);
    EXPECT_EQ(listed->body, "jpeg bytes");
    EXPECT_EQ(listed->get_header_value("Content-Type"), "image/jpeg");

    std::string outside = (dir_.path() / "secret.txt").string();
    for (auto slash = outside.find('/'); slash != std::string::npos; slash = outside.find('/', slash))
        outside.replace(slash, 1, "%2F");
    for (const std::string& path : std::vector<std::string>{
             "/api/photos/p2", "/api/photos/p0", "/api/photos/" + outside, "/api/photos/..%2Fsecret.txt",
             "/api/photos/%2e%2e", "/api/photos/p1/..", "/..%2Fsecret.txt", "/%2e%2e/secret.txt", "/secret.txt", "/.",
             "/galvoria-ui/index.html"}) {
        const auto answer = client_->Get(path, page());
        ASSERT_TRUE(answer) << path;
        EXPECT_EQ(answer->status, 404) << path;
        EXPECT_EQ(answer->body.find("not a page file"), std::string::npos) << path;
    }
}

TEST_F(UiServerTest, UploadsKeepTheirNameInAPrivateFolderUntilRemoved) {
    startSession();
    const auto added = upload("Caf%C3%A9%201.png", "png bytes");
    ASSERT_TRUE(added);
    ASSERT_EQ(added->status, 201) << added->body;
    EXPECT_EQ(
        co::Value::parse(added->body),
        (co::Value{{"id", "p2"}, {"name", "Café 1.png"}, {"size", 9}, {"type", "image/png"}, {"thumbnail", true}}));
    const auto kept = dir_.path() / "uploads" / "p2" / "Café 1.png";
    EXPECT_TRUE(fs::is_regular_file(kept));
    EXPECT_EQ((fs::status(kept.parent_path()).permissions() & fs::perms::all), fs::perms::owner_all);

    for (const std::string& name : {std::string(), std::string("%2E%2E"), std::string("..%2Fescape.jpg"),
                                    std::string("a%00b.jpg"), std::string(256, 'n')}) {
        const auto answer = upload(name, "bytes");
        ASSERT_TRUE(answer) << name;
        EXPECT_EQ(answer->status, 400) << name;
        EXPECT_TRUE(co::Value::parse(answer->body).contains("message")) << name;
    }
    // An upload too large or of unknown length is refused before its body.
    const std::string head = "POST /api/photos HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server_->port()) +
                             "\r\nOrigin: " + origin() + "\r\nCookie: " + std::string(cookieName) + "=" + cookie_ +
                             "\r\nX-File-Name: huge.jpg\r\n";
    const std::string tooLong = "Content-Length: " + std::to_string(largestUploadBytes + 1);
    const std::pair<std::string, std::string_view> rows[] = {
        // Told its length, the server answers at once; the body never comes.
        {tooLong, "HTTP/1.1 413"},
        // A client that waits for leave to send is refused instead of let in.
        {"Expect: 100-continue\r\n" + tooLong, "HTTP/1.1 413"},
        {"Transfer-Encoding: chunked", "HTTP/1.1 400"},
    };
    for (const auto& [headers, status] : rows) {
        const auto answer = rawExchange(server_->port(), head + headers + "\r\n\r\n");
        EXPECT_EQ(answer.rfind(status, 0), 0U) << answer;
        EXPECT_NE(answer.find("huge.jpg"), std::string::npos) << answer;
    }
    EXPECT_FALSE(fs::exists(dir_.path() / "escape.jpg"));
    EXPECT_EQ(shelf_->photos().size(), 2U);

    // An id is never given twice, even once its photo is gone.
    for (const std::string id : {"p2", "p1"}) {
        const auto removed = post("/api/photos/remove", R"({"id":")" + id + R"("})");
        ASSERT_TRUE(removed);
        EXPECT_EQ(removed->status, 204) << id;
    }
    EXPECT_TRUE(fs::is_empty(dir_.path() / "uploads"));
    EXPECT_TRUE(fs::exists(dir_.path() / "IMG_1.jpg")) << "a file of the command line is never deleted";
    const auto again = upload("again.jpg", "x");
    ASSERT_TRUE(again);
    EXPECT_EQ(co::Value::parse(again->body)["id"], "p3");
}

}  // namespace
}  // namespace galvoria::host::ui
