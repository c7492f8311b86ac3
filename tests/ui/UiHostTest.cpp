// galvoria-host ui as a person runs it, against the local service: the session, the account panel,
// the publish options, publishes and Ctrl-C, with no secret in any answer, log line or left file.

#include <signal.h>

#include <gtest/gtest.h>
#include <httplib.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <thread>

#include "devserver/Server.hpp"
#include "platform/PreferenceStore.hpp"
#include "platform/Process.hpp"
#include "tests/support/TestSupport.hpp"

namespace galvoria::testing {
namespace {
namespace fs = std::filesystem;

class UiHostTest : public ::testing::Test {
protected:
    void SetUp() override {
        service_ = std::make_unique<devserver::Server>(devserver::ServerOptions{
            .port = *portOf(GALVORIA_SERVICE_URL), .testMode = true, .storageDir = dir_.path() / "storage"});
        ASSERT_TRUE(service_->start());
        fs::create_directory(runtime());
    }

    std::string photo(const std::string& name) {
        std::ofstream(dir_.path() / name, std::ios::binary) << patternBytes(200000);
        return (dir_.path() / name).string();
    }

    // The host on these files, with a display and an xdg-open of the test's that notes the link it opens.
    void startHost(const std::vector<std::string>& files) {
        fs::create_directory(dir_.path() / "bin");
        std::ofstream(dir_.path() / "bin" / "xdg-open") << "#!/bin/sh\nprintf '%s' \"$1\" > \"$0.opened\"\n";
        fs::permissions(dir_.path() / "bin" / "xdg-open", fs::perms::owner_all);
        platform::Launch launch;
        launch.arguments = {GALVORIA_HOST_BINARY, "ui", "--prefs", prefs().string(), "--log", log().string()};
        launch.arguments.insert(launch.arguments.end(), files.begin(), files.end());
        launch.environment = {{"XDG_RUNTIME_DIR", runtime().string()},
                              {"DISPLAY", ":7"},
                              {"PATH", (dir_.path() / "bin").string() + ":" + std::getenv("PATH")}};
        launch.output = platform::Stream::pipe();
        launch.error = platform::Stream::file(dir_.path() / "stderr.txt");
        host_ = platform::Child::spawn(launch);
        ASSERT_TRUE(host_);
        std::string first;
        char c = 0;
        while (platform::readSome(host_->output().get(), &c, 1) == 1 && c != '\n') first += c;
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(first, parts, std::regex(R"(Open http://127\.0\.0\.1:(\d+)/#key=([0-9a-f]{32}))")))
            << first;
        port_ = std::stoi(parts[1]);
        key_ = parts[2];
        client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
        client_->set_read_timeout(120);
        const auto session =
            client_->Post("/api/session", {{"Origin", origin()}}, R"({"key":")" + key_ + R"("})", "application/json");
        ASSERT_TRUE(session);
        ASSERT_EQ(session->status, 204);
        const auto set = session->get_header_value("Set-Cookie");
        cookie_ = set.substr(0, set.find(';'));
    }

    [[nodiscard]] std::string origin() const { return "http://127.0.0.1:" + std::to_string(port_); }
    co::Value answered(const httplib::Result& answer, int status) {
        EXPECT_TRUE(answer);
        if (!answer) return nullptr;
        EXPECT_EQ(answer->status, status) << answer->body;
        bodies_ += answer->body + "\n";
        return answer->body.empty() ? co::Value(nullptr) : co::Value::parse(answer->body, nullptr, false);
    }
    co::Value post(const std::string& path, const co::Value& body, int status = 200) {
        return answered(
            client_->Post(path, {{"Origin", origin()}, {"Cookie", cookie_}}, body.dump(), "application/json"), status);
    }
    co::Value get(const std::string& path) { return answered(client_->Get(path, {{"Cookie", cookie_}}), 200); }

    // A new folder and project in the demo account's first workspace, chosen as the page does.
    co::Value chooseNewFolderAndProject() {
        co::Value settings = co::Value::object();
        post("/api/options", {{"settings", settings}});
        for (const auto& [setting, value] : {std::pair{"workspace-source-list-item", "acc-7d1f2c"},
                                             {"workspace-list-item", "ws-4f1c2a"},
                                             {"folder-list-item", "0"},
                                             {"new-folder-item", "Shoot"},
                                             {"new-project-item", "Selects"}})
            settings = post("/api/options/value",
                            {{"setting", setting}, {"value", value}, {"settings", settings}})["settings"];
        return settings;
    }
    co::Value waitForPublish(const std::function<bool(const co::Value&)>& done) {
        for (int i = 0; i < 1200; ++i) {
            const auto state = get("/api/state")["publish"];
            if (done(state)) return state;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ADD_FAILURE() << "the publish never got there";
        return nullptr;
    }
    int stop(int signal) {
        host_->signal(signal);
        const auto exit = host_->waitFor(std::chrono::seconds(60));
        EXPECT_TRUE(exit);
        return exit ? exit->shellStatus() : -1;
    }
    [[nodiscard]] fs::path prefs() const { return dir_.path() / "prefs.json"; }
    [[nodiscard]] fs::path log() const { return dir_.path() / "plugin.log"; }
    [[nodiscard]] fs::path runtime() const { return dir_.path() / "runtime"; }

    TempDir dir_;
    std::unique_ptr<devserver::Server> service_;
    std::optional<platform::Child> host_;
    std::unique_ptr<httplib::Client> client_;
    int port_ = 0;
    std::string key_;
    std::string cookie_;
    std::string bodies_;  // every answer's body
};

TEST_F(UiHostTest, FromTheLinkToTheLibraryAndCtrlCWithNoSecretLeftBehind) {
    startHost({photo("a.jpg"), photo("b.jpg"), photo("c.jpg"), photo("d.jpg")});

    const std::string wrongPassword = "not-the-demo-password";
    post("/api/account/value", {{"setting", "username-item"}, {"value", demoEmail}});
    post("/api/account/value", {{"setting", "password-item"}, {"value", wrongPassword}});
    post("/api/account/press", {{"item", "login-item"}});
    post("/api/account/value", {{"setting", "password-item"}, {"value", demoPassword}});
    post("/api/account/press", {{"item", "login-item"}});
    const auto token = platform::PreferenceStore(prefs()).stringForKey("api-token").value_or("");
    ASSERT_FALSE(token.empty());

    post("/api/publish/cancel", co::Value::object(), 409);
    const auto settings = chooseNewFolderAndProject();
    // Photos are named by the ids the host gave them, never by a path.
    for (const auto& photos :
         {co::Value::array({(dir_.path() / "a.jpg").string()}), co::Value::array({"p7"}), co::Value::array()})
        post("/api/publish", {{"settings", settings}, {"photos", photos}}, 400);
    // The storage refuses the first photo once: it is marked failed, the others published.
    service_->setFault("storage",
                       {.status = 500, .body = "<Error>refused</Error>", .contentType = "application/xml", .times = 1});
    const auto started = post("/api/publish", {{"settings", settings}}, 202);
    EXPECT_EQ(started["photos"], co::Value::array({"p1", "p2", "p3", "p4"}));
    post("/api/publish", {{"settings", settings}}, 409);
    const auto finished = waitForPublish([](const co::Value& state) { return !state["running"].get<bool>(); });
    EXPECT_EQ(finished["outcome"]["kind"], "partial") << finished;
    EXPECT_EQ(finished["done"],
              (co::Value{{"p1", "failed"}, {"p2", "published"}, {"p3", "published"}, {"p4", "published"}}));
    // Publishing these again goes to the folder and project just created.
    const auto retry = finished["outcome"]["retrySettings"];
    for (const char* chosen : {"folder-list-item", "project-list-item"}) EXPECT_NE(retry[chosen], "0") << chosen;
    EXPECT_FALSE(retry.contains("new-folder-item") || retry.contains("new-project-item")) << retry;

    // All four again, slowly: a second tab gets the panel while the publish holds the plugin, and
    // Ctrl-C ends the publish after the file in flight.
    const auto before = service_->state()["objects"].size();
    service_->setFault("storage", {.action = devserver::FaultAction::delay, .delayMs = 600});
    post("/api/publish", {{"settings", retry}}, 202);
    waitForPublish([](const co::Value& state) { return state["completed"].get<int>() >= 1; });
    EXPECT_TRUE(get("/api/account")["groups"].dump().find("logged-in-item") != std::string::npos);
    EXPECT_EQ(stop(SIGINT), 130);
    const auto stored = service_->state()["objects"].size() - before;
    EXPECT_GE(stored, 1U);
    EXPECT_LT(stored, 4U);

    EXPECT_TRUE(fs::is_empty(runtime())) << "the uploads' folder is removed";
    const std::string logText = readFile(log()) + readFile(dir_.path() / "stderr.txt");
    EXPECT_FALSE(logText.empty());
    for (const std::string& secret :
         {key_, cookie_.substr(cookie_.find('=') + 1), std::string(demoPassword), wrongPassword, token}) {
        EXPECT_EQ(bodies_.find(secret), std::string::npos) << "an answer holds a secret";
        EXPECT_EQ(logText.find(secret), std::string::npos) << "the log holds a secret";
    }
}

TEST_F(UiHostTest, WithADisplayTheLinkIsOpenedInTheBrowser) {
    startHost({});
    const auto opened = dir_.path() / "bin" / "xdg-open.opened";
    for (int i = 0; i < 200 && readFile(opened).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(readFile(opened), origin() + "/#key=" + key_);
    EXPECT_EQ(stop(SIGTERM), 0);
}

TEST_F(UiHostTest, ATypedValueTheStoreCannotKeepIsToldAsTheStoresProblem) {
    startHost({});
    fs::create_symlink(dir_.path() / "victim", prefs().string() + ".lock");
    const auto answer = post("/api/account/value", {{"setting", "username-item"}, {"value", demoEmail}});
    ASSERT_FALSE(answer["ok"].get<bool>()) << answer;
    EXPECT_EQ(answer["error"]["description"], "The preferences could not be saved.");
    EXPECT_NE(answer["error"]["failureReason"].get<std::string>().find("cannot open the lock file"), std::string::npos);
    EXPECT_EQ(stop(SIGTERM), 1) << "the host ends saying a change was lost";
}

}  // namespace
}  // namespace galvoria::testing
