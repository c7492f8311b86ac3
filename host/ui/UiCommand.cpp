#include "host/ui/UiCommand.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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
    // The browser must not inherit the host's blocked and ignored signals, nor write to its output.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (const int signal : {SIGINT, SIGTERM, SIGPIPE, SIGXFSZ}) {
        sigaddset(&defaults, signal);
    }
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = -1;
    const int failed = ::posix_spawnp(&child, program.c_str(), &files, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    if (failed != 0) {
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
