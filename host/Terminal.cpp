#include "host/Terminal.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <mutex>

#include "platform/FileWrite.hpp"

namespace galvoria::host::terminal {
namespace {

std::mutex& writeMutex() {
    static std::mutex mutex;
    return mutex;
}

// The user's standard output and error; descriptors 1 and 2 until routeLog() moves them aside.
int userOutput = STDOUT_FILENO;
int userError = STDERR_FILENO;

// An open descriptor, closed when it goes out of scope.
struct FdCloser {
    void operator()(const int* fd) const {
        if (fd != nullptr && *fd >= 0) {
            ::close(*fd);
        }
        delete fd;
    }
};

// The terminal modes in force before a secret prompt switched echo off; kept so that a process
// leaving in the middle of the prompt can put them back.
std::mutex& modesMutex() {
    static std::mutex mutex;
    return mutex;
}
std::optional<termios> savedModes;

class EchoOff {
public:
    EchoOff() {
        termios modes{};
        if (::tcgetattr(STDIN_FILENO, &modes) != 0) {
            return;
        }
        {
            std::lock_guard lock(modesMutex());
            savedModes = modes;
        }
        modes.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        modes.c_lflag |= ECHONL;
        active_ = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &modes) == 0;
    }
    ~EchoOff() {
        if (active_) {
            restoreTerminal();
        }
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

private:
    bool active_ = false;
};

}  // namespace

bool routeLog(LogDestination destination, const std::filesystem::path& file, std::string& problem) {
    int target = -1;
    switch (destination) {
        case LogDestination::discard:
            target = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
            break;
        case LogDestination::standardError:
            target = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
            break;
        case LogDestination::file:
            target = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
            break;
    }
    const std::unique_ptr<int, FdCloser> owned(new int(target));
    if (target < 0) {
        problem = destination == LogDestination::file ? "cannot open the log file " + file.string()
                                                      : std::string("cannot set up the log");
        return false;
    }
    const int output = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    const int error = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (output < 0 || error < 0 || ::dup2(target, STDOUT_FILENO) < 0 || ::dup2(target, STDERR_FILENO) < 0) {
        problem = "cannot set up the log";
        return false;
    }
    std::lock_guard lock(writeMutex());
    userOutput = output;
    userError = error;
    return true;
}

void out(std::string_view text) {
    std::lock_guard lock(writeMutex());
    platform::writeAll(userOutput, text);
}

void err(std::string_view text) {
    std::lock_guard lock(writeMutex());
    platform::writeAll(userError, text);
}

bool inputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }
bool outputIsTerminal() { return ::isatty(userOutput) == 1; }
bool errorIsTerminal() { return ::isatty(userError) == 1; }

namespace {
int columnsOf(int fd) {
    winsize size{};
    if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return 80;
}
}  // namespace

int columns() { return columnsOf(userOutput); }
int errorColumns() { return columnsOf(userError); }

std::optional<std::string> readLine() {
    std::string line;
    bool any = false;
    for (;;) {
        char c = 0;
        const ssize_t got = ::read(STDIN_FILENO, &c, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        any = true;
        if (c == '\n') {
            break;
        }
        line.push_back(c);
    }
    if (!any) {
        return std::nullopt;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line;
}

std::optional<std::string> prompt(std::string_view text) {
    err(text);
    return readLine();
}

std::optional<std::string> promptSecret(std::string_view text) {
    const EchoOff echoOff;
    err(text);
    return readLine();
}

void restoreTerminal() {
    std::lock_guard lock(modesMutex());
    if (savedModes) {
        // Input typed ahead (answers to the next questions) is kept.
        ::tcsetattr(STDIN_FILENO, TCSADRAIN, &*savedModes);
        savedModes.reset();
    }
}

std::optional<std::size_t> chooseFromMenu(std::string_view title, const std::vector<std::string>& entries) {
    std::string menu = std::string(title) + ":\n";
    for (std::size_t i = 0; i < entries.size(); ++i) {
        menu += "  " + std::to_string(i + 1) + ") " + entries[i] + "\n";
    }
    err(menu);
    const std::string question = "Choose 1-" + std::to_string(entries.size()) + ": ";
    for (;;) {
        const auto answer = prompt(question);
        if (!answer) {
            return std::nullopt;
        }
        const auto first = answer->find_first_not_of(" \t");
        const auto last = answer->find_last_not_of(" \t");
        const std::string digits = first == std::string::npos ? "" : answer->substr(first, last - first + 1);
        if (!digits.empty() && digits.size() < 6 && digits.find_first_not_of("0123456789") == std::string::npos) {
            const std::size_t number = std::stoul(digits);
            if (number >= 1 && number <= entries.size()) {
                return number - 1;
            }
        }
        err("Please answer with a number from 1 to " + std::to_string(entries.size()) + ".\n");
    }
}

}  // namespace galvoria::host::terminal
