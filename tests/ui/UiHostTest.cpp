// galvoria-host ui as a person runs it, against the local service: the session, the account panel,
// the publish options, a publish and Ctrl-C, with no secret in any answer, log line or left file.

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

constexpr const char* demoEmail = "demo@galvoria.test";
constexpr const char* demoPassword = "galvoria-demo";

class UiHostTest : public ::testing::Test {
protected:
    void startService() {
        service_ = std::make_unique<devserver::Server>(devserver::ServerOptions{
            .port = *portOf(GALVORIA_SERVICE_URL), .testMode = true, .storageDir = dir_.path() / "storage"});
        ASSERT_TRUE(service_->start());
        fs::create_directory(runtime());
        fs::permissions(runtime(), fs::perms::owner_all);
    }

    std::string photo(const std::string& name, std::size_t bytes = 200000) {
        std::string content(bytes, '\0');
        for (std::size_t i = 0; i < bytes; ++i) content[i] = static_cast<char>((i * 7919U) >> 3U);
        std::ofstream(dir_.path() / name, std::ios::binary) << content;
        return (dir_.path() / name).string();
    }

    // The host on these files; with `browser` it may open the link (with an xdg-open of the test's).
    void startHost(const std::vector<std::string>& files, bool browser = false) {
        platform::Launch launch;
        launch.arguments = {GALVORIA_HOST_BINARY, "ui", "--prefs", prefs().string(), "--log", log().string()};
        launch.arguments.insert(launch.arguments.end(), files.begin(), files.end());
        launch.environment = {{"XDG_RUNTIME_DIR", runtime().string()}, {"DISPLAY", ":7"}};
        if (browser) {
            fs::create_directory(dir_.path() / "bin");
            std::ofstream(dir_.path() / "bin" / "xdg-open") << "#!/bin/sh\nprintf '%s' \"$1\" > \"$0.opened\"\n";
            fs::permissions(dir_.path() / "bin" / "xdg-open", fs::perms::owner_all);
            launch.environment.emplace_back("PATH", (dir_.path() / "bin").string() + ":" + std::getenv("PATH"));
        } else {
            launch.arguments.emplace_back("--no-browser");
        }
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

    static co::Value element(const co::Value& groups, const std::string& identifier) {
        for (const auto& group : groups)
            for (const auto& each : group["elements"])
                if (each.value("identifier", "") == identifier) return each;
        return nullptr;
    }
    // A new folder and project in the first workspace of the demo account, chosen as the page does.
    co::Value chooseNewFolderAndProject() {
        co::Value settings = co::Value::object();
        auto choose = [&](const std::string& setting, const co::Value& value) {
            const auto answer =
                post("/api/options/value", {{"setting", setting}, {"value", value}, {"settings", settings}});
            settings = answer["settings"];
            return answer["groups"];
        };
        const auto groups = post("/api/options", {{"settings", settings}})["groups"];
        std::string account;
        const auto accounts = element(groups, "workspace-source-list-item");
        for (const auto& option : accounts["options"])
            if (option.value("title", "") == "Demo Photographer") account = option["value"];
        const auto workspaces = element(choose("workspace-source-list-item", account), "workspace-list-item");
        EXPECT_GE(workspaces["options"].size(), 2U);
        choose("workspace-list-item", workspaces["options"][1]["value"]);
        const auto newFolder = choose("folder-list-item", "0");
        EXPECT_TRUE(element(newFolder, "new-folder-item").is_object()) << "the plugin's name field, when it says so";
        choose("new-folder-item", "Shoot");
        choose("new-project-item", "Selects");
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
    [[nodiscard]] std::string fileText(const fs::path& file) const {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
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

TEST_F(UiHostTest, FromTheLinkToTheLibraryWithNoSecretLeftBehind) {
    startService();
    startHost({photo("given.jpg")});
    const auto added = answered(
        client_->Post("/api/photos", {{"Origin", origin()}, {"Cookie", cookie_}, {"X-File-Name", "added%20one.jpg"}},
                      std::string(150000, 'x'), "application/octet-stream"),
        201);
    EXPECT_EQ(added["id"], "p2");

    const std::string wrongPassword = "not-the-demo-password";
    post("/api/account/value", {{"setting", "username-item"}, {"value", demoEmail}});
    post("/api/account/value", {{"setting", "password-item"}, {"value", wrongPassword}});
    post("/api/account/press", {{"item", "login-item"}});
    post("/api/account/value", {{"setting", "password-item"}, {"value", demoPassword}});
    post("/api/account/press", {{"item", "login-item"}});
    const auto token = platform::PreferenceStore(prefs()).stringForKey("api-token").value_or("");
    ASSERT_FALSE(token.empty());

    const auto settings = chooseNewFolderAndProject();
    // Photos are named by the ids the host gave them, never by a path.
    for (const auto& photos :
         {co::Value::array({(dir_.path() / "given.jpg").string()}), co::Value::array({"p7"}), co::Value::array()})
        post("/api/publish", {{"settings", settings}, {"photos", photos}}, 400);
    // The storage refuses the first photo once: it is marked failed, the other published.
    service_->setFault("storage",
                       {.status = 500, .body = "<Error>refused</Error>", .contentType = "application/xml", .times = 1});
    const auto started = post("/api/publish", {{"settings", settings}}, 202);
    EXPECT_EQ(started["photos"], co::Value::array({"p1", "p2"}));
    post("/api/publish", {{"settings", settings}}, 409);
    const auto finished = waitForPublish([](const co::Value& state) { return !state["running"].get<bool>(); });
    EXPECT_EQ(finished["outcome"]["kind"], "partial") << finished;
    EXPECT_EQ(finished["done"], (co::Value{{"p1", "failed"}, {"p2", "published"}}));
    // Publishing these again goes to the folder and project just created.
    const auto& retry = finished["outcome"]["retrySettings"];
    for (const char* chosen : {"folder-list-item", "project-list-item"}) EXPECT_NE(retry[chosen], "0") << chosen;
    EXPECT_FALSE(retry.contains("new-folder-item") || retry.contains("new-project-item")) << retry;

    EXPECT_EQ(stop(SIGTERM), 0);
    EXPECT_TRUE(fs::is_empty(runtime())) << "the uploads' folder is removed";
    const std::string logText = fileText(log()) + fileText(dir_.path() / "stderr.txt");
    EXPECT_FALSE(logText.empty());
    for (const std::string& secret :
         {key_, cookie_.substr(cookie_.find('=') + 1), std::string(demoPassword), wrongPassword, token}) {
        EXPECT_EQ(bodies_.find(secret), std::string::npos) << "an answer holds a secret";
        EXPECT_EQ(logText.find(secret), std::string::npos) << "the log holds a secret";
    }
}

TEST_F(UiHostTest, WithADisplayTheLinkIsOpenedInTheBrowser) {
    startService();
    startHost({}, true);
    const auto opened = dir_.path() / "bin" / "xdg-open.opened";
    for (int i = 0; i < 200 && fileText(opened).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(fileText(opened), origin() + "/#key=" + key_);
    EXPECT_EQ(stop(SIGINT), 0);
}

TEST_F(UiHostTest, CtrlCStopsAPublishAfterTheFileInFlight) {
    startService();
    service_->setFault("storage", {.action = devserver::FaultAction::delay, .delayMs = 600});
    platform::PreferenceStore(prefs()).setValue(service_->issueToken(demoEmail), "api-token");
    startHost({photo("a.jpg"), photo("b.jpg"), photo("c.jpg"), photo("d.jpg")});
    get("/api/account");
    post("/api/publish/cancel", co::Value::object(), 409);
    post("/api/publish", {{"settings", chooseNewFolderAndProject()}}, 202);
    waitForPublish([](const co::Value& state) { return state["completed"].get<int>() >= 1; });
    // A second tab gets the panel while the publish holds the plugin.
    EXPECT_TRUE(element(get("/api/account")["groups"], "logged-in-item").is_object());
    EXPECT_TRUE(get("/api/state")["publish"]["running"].get<bool>());
    EXPECT_EQ(stop(SIGINT), 130);
    const auto stored = service_->state()["objects"].size();
    EXPECT_GE(stored, 1U);
    EXPECT_LT(stored, 4U);
}

}  // namespace
}  // namespace galvoria::testing
