#include "host/ui/UiCommand.hpp"

#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "host/Commands.hpp"
#include "host/Interrupts.hpp"
#include "host/Terminal.hpp"
#include "host/ui/PhotoShelf.hpp"
#include "host/ui/UiServer.hpp"
#include "platform/Log.hpp"

extern char** environ;

namespace galvoria::host::ui {
namespace fs = std::filesystem;

namespace {

// The page's files, copied beside the host when it is built.
fs::path pageFolder() {
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return (error ? fs::current_path() : self.parent_path()) / "galvoria-ui";
}

bool hasDisplay() {
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0';
    };
    return set("DISPLAY") || set("WAYLAND_DISPLAY");
}

// Opens the link in the person's browser; a failure is only noted in the log.
void openInBrowser(const std::string& link) {
    std::string program = "xdg-open";
    std::vector<char*> argv{program.data(), const_cast<char*>(link.c_str()), nullptr};
    pid_t child = -1;
    if (::posix_spawnp(&child, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
        platform::log::line("xdg-open could not be started: open the printed link in a browser.");
        return;
    }
    std::thread([child] {
        int status = 0;
        ::waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            platform::log::line("xdg-open could not open the page: open the printed link in a browser.");
        }
    }).detach();
}

}  // namespace

std::optional<std::string> checkUi(const UiOptions& options) {
    PublishOptions files;
    files.files = options.files;
    return checkPublish(files, true);
}

int runUi(PluginSession& session, const UiOptions& options) {
    std::string problem;
    const auto folder = makeUploadFolder(problem);
    if (!folder) {
        terminal::err("galvoria-host ui: " + problem + "\n");
        return exitFailure;
    }
    PhotoShelf shelf(*folder);
    for (const auto& file : options.files) {
        shelf.addGiven(file);
    }
    const auto page = pageFolder();
    std::error_code error;
    if (!fs::is_regular_file(page / "index.html", error)) {
        terminal::err("galvoria-host ui: the page's files are missing (" + terminal::visible(page.string()) +
                      "); the server runs without them\n");
    }
    UiServer server(&session, shelf, page);
    if (!server.bind(options.port, problem)) {
        terminal::err("galvoria-host ui: " + problem + "\n");
        return exitFailure;
    }
    std::atomic<bool> interrupted{false};
    const interrupts::StopScope scope([&] { interrupted = server.interrupt(); },
                                      [&] {
                                          std::error_code ignored;
                                          fs::remove_all(shelf.uploadFolder(), ignored);
                                      });
    terminal::out("Open " + server.link() + "\n");
    if (options.openBrowser && hasDisplay()) {
        openInBrowser(server.link());
    }
    server.serve();
    server.finishPublish();
    return interrupted ? interrupts::interruptedStatus : exitSuccess;
}

}  // namespace galvoria::host::ui
