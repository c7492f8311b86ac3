#pragma once
// galvoria-host's commands run as programs against the local service on the bundle's compiled-in
// port, each test with its own preference file and photos.

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "devserver/Server.hpp"
#include "platform/PreferenceStore.hpp"
#include "tests/support/TestSupport.hpp"

namespace galvoria::testing {

inline constexpr const char* demoEmail = "demo@galvoria.test";
inline constexpr const char* demoPassword = "galvoria-demo";

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
    bool echoes() const;
    // Reads to the end and returns the exit status (128 + signal when killed).
    int finish(std::chrono::seconds timeout = std::chrono::seconds(120));
    const std::string& output() const { return output_; }

private:
    bool readSome(std::chrono::milliseconds timeout);

    int pid_ = -1;
    int master_ = -1;
    std::string output_;
    std::optional<int> status_;
};

class CliTest : public ::testing::Test {
protected:
    void SetUp() override;

    // galvoria-host with the test's preference file.
    ProcessResult host(std::vector<std::string> arguments, const std::string& input = {});
    std::vector<std::string> hostArguments(std::vector<std::string> arguments) const;
    // Logs in with the demo account's token, without the login form.
    void logInDirectly();
    // A file of `bytes` bytes in the test's photo folder.
    std::string photo(const std::string& name, std::size_t bytes = 4096);
    platform::PreferenceStore store() const { return platform::PreferenceStore(prefs()); }
    std::filesystem::path prefs() const { return dir_.path() / "prefs.json"; }

    // The service's projects named `name`, and the names of a project's files in order.
    std::vector<std::string> projectIdsNamed(const std::string& name) const;
    std::vector<std::string> filesOf(const std::string& projectId) const;
    std::string libraryLink(const std::string& projectId) const;
    std::size_t storedFileCount() const;

    TempDir dir_;
    std::unique_ptr<devserver::Server> server_;
};

}  // namespace galvoria::testing
