#pragma once
// galvoria-host's commands run as programs against the local service on the bundle's compiled-in
// port, each test with its own preference file and photos.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "devserver/Server.hpp"
#include "platform/PreferenceStore.hpp"
#include "tests/support/TestSupport.hpp"

namespace galvoria::testing {

// A program on a pseudo-terminal, as a person at a terminal runs it.
class TerminalProcess {
public:
    explicit TerminalProcess(const std::vector<std::string>& arguments);
    ~TerminalProcess();
    TerminalProcess(const TerminalProcess&) = delete;
    TerminalProcess& operator=(const TerminalProcess&) = delete;

    // Reads until `text` shows in the output after `from`; false when it never does.
    bool waitFor(const std::string& text, std::size_t from = 0,
                 std::chrono::milliseconds timeout = std::chrono::seconds(60));
    void type(const std::string& text);
    // Whether the terminal echoes what is typed, as its modes say now.
    [[nodiscard]] bool echoes() const;
    // Reads to the end and returns the exit status (128 + signal when killed).
    int finish();
    [[nodiscard]] const std::string& output() const { return output_; }

private:
    bool readSome(std::chrono::milliseconds timeout);
    bool exited();  // reaps the program when it has ended

    int pid_ = -1;
    int master_ = -1;
    std::string output_;
    std::optional<int> status_;
};

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = std::make_unique<devserver::Server>(devserver::ServerOptions{
            .port = *portOf(GALVORIA_SERVICE_URL), .testMode = true, .storageDir = dir_.path() / "storage"});
        ASSERT_TRUE(server_->start());
        std::filesystem::create_directories(dir_.path() / "photos");
    }

    // galvoria-host with the test's preference file.
    [[nodiscard]] std::vector<std::string> hostArguments(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), GALVORIA_HOST_BINARY);
        arguments.insert(arguments.end(), {"--prefs", prefs().string()});
        return arguments;
    }
    ProcessResult host(std::vector<std::string> arguments, const std::string& input = {}) {
        return runProcess(hostArguments(std::move(arguments)), input);
    }
    // Logs in with the demo account's token, without the login form.
    void logInDirectly() {
        store().setValue(server_->issueToken(demoEmail), "api-token");
        store().setValue(demoEmail, "username-item");
    }
    // A file of `bytes` patterned bytes in the test's photo folder.
    std::string photo(const std::string& name, std::size_t bytes = 4096) {
        const auto path = dir_.path() / "photos" / name;
        std::ofstream(path, std::ios::binary) << patternBytes(bytes, static_cast<unsigned>(bytes));
        return path.string();
    }
    [[nodiscard]] platform::PreferenceStore store() const { return platform::PreferenceStore(prefs()); }
    [[nodiscard]] std::filesystem::path prefs() const { return dir_.path() / "prefs.json"; }

    // The service's projects named `name` (in the folder `folderId`, when one is given), and the names
    // of a project's files in order.
    [[nodiscard]] std::vector<std::string> projectIdsNamed(const std::string& name,
                                                           const std::string& folderId = {}) const {
        std::vector<std::string> ids;
        const auto state = server_->state();
        for (const auto& project : state["projects"])
            if (project["name"] == name && (folderId.empty() || project["folderId"] == folderId))
                ids.push_back(project["id"].get<std::string>());
        return ids;
    }
    [[nodiscard]] std::vector<std::string> filesOf(const std::string& projectId) const {
        std::vector<std::string> names;
        const auto state = server_->state();
        for (const auto& project : state["projects"]) {
            if (project["id"] != projectId) continue;
            for (const auto& file : project["files"]) names.push_back(file["name"].get<std::string>());
        }
        return names;
    }
    [[nodiscard]] static std::string libraryLink(const std::string& projectId) {
        return std::string(GALVORIA_SERVICE_URL) + "/project/" + projectId + "/library";
    }

    TempDir dir_;
    std::unique_ptr<devserver::Server> server_;
};

}  // namespace galvoria::testing
