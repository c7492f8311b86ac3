#include "host/Terminal.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include <utf8proc.h>

#include "platform/FileDescriptor.hpp"
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

// Set once a write to the user's standard output (error) failed.
std::atomic<bool> outputFailed{false};
std::atomic<bool> errorFailed{false};

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

void appendByte(std::string& shown, unsigned char byte) {
    char code[8];
    std::snprintf(code, sizeof code, "\\x%02x", byte);
    shown += code;
}

bool hidden(utf8proc_int32_t codepoint) {
    return (codepoint >= 0x80 && codepoint <= 0x9F) || (codepoint >= 0x202A && codepoint <= 0x202E) ||
           (codepoint >= 0x2066 && codepoint <= 0x2069);
}

// Hands what the plugin writes to descriptors 1 and 2 on to a terminal a line at a time, each line
// made visible. A line longer than `longestLine` is passed on in pieces, so the relay holds little.
class LogRelay {
public:
    LogRelay(int from, int to) : from_(from), to_(to) {
        std::thread([this] { run(); }).detach();
    }

    // Waits (a little) for the relay to pass on what was written before the pipe was closed.
    void waitForEnd() {
        std::unique_lock lock(mutex_);
        ended_.wait_for(lock, std::chrono::seconds(2), [this] { return done_; });
    }

private:
    static constexpr std::size_t longestLine = 64 * 1024;

    void run() {
        std::string pending;
        char chunk[4096];
        for (;;) {
            const ssize_t got = ::read(from_, chunk, sizeof chunk);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            if (got <= 0) {
                break;
            }
            pending.append(chunk, static_cast<std::size_t>(got));
            std::size_t start = 0;
            for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n', start)) {
                pass(visible(std::string_view(pending).substr(start, end - start)) + "\n");
                start = end + 1;
            }
            pending.erase(0, start);
            if (pending.size() >= longestLine) {
                pass(visible(pending));
                pending.clear();
            }
        }
        if (!pending.empty()) {
            pass(visible(pending) + "\n");
        }
        ::close(from_);
        ::close(to_);
        std::lock_guard lock(mutex_);
        done_ = true;
        ended_.notify_all();
    }

    void pass(const std::string& text) const {
        std::lock_guard lock(writeMutex());
        platform::writeAll(to_, text);
    }

    const int from_;
    const int to_;
    std::mutex mutex_;
    std::condition_variable ended_;
    bool done_ = false;
};

LogRelay* logRelay = nullptr;

bool closedFor(int fd, const std::atomic<bool>& failed) {
    if (failed) {
        return true;
    }
    pollfd entry{fd, POLLOUT, 0};
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & (POLLERR | POLLHUP)) != 0;
}

}  // namespace

std::string visible(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    std::size_t at = 0;
    while (at < text.size()) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte < 0x80) {
            if (byte < 0x20 || byte == 0x7F) {
                appendByte(shown, byte);
            } else {
                shown.push_back(text[at]);
            }
            ++at;
            continue;
        }
        utf8proc_int32_t codepoint = 0;
        const auto used = utf8proc_iterate(bytes + at, static_cast<utf8proc_ssize_t>(text.size() - at), &codepoint);
        if (used <= 0) {
            appendByte(shown, byte);
            ++at;
            continue;
        }
        if (hidden(codepoint)) {
            char code[16];
            std::snprintf(code, sizeof code, "\\u{%04x}", static_cast<unsigned>(codepoint));
            shown += code;
        } else {
            shown.append(text.substr(at, static_cast<std::size_t>(used)));
        }
        at += static_cast<std::size_t>(used);
    }
    return shown;
}

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
    platform::FileDescriptor owned(target);
    if (target < 0) {
        problem = destination == LogDestination::file ? "cannot open the log file " + file.string()
                                                      : std::string("cannot set up the log");
        return false;
    }
    // A log read at a terminal goes through a pipe whose other end makes each line visible.
    int pipeEnds[2] = {-1, -1};
    const bool relayed = ::isatty(target) == 1;
    if (relayed && ::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        problem = "cannot set up the log";
        return false;
    }
    const int written = relayed ? pipeEnds[1] : target;
    const int output = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    const int error = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    if (output < 0 || error < 0 || ::dup2(written, STDOUT_FILENO) < 0 || ::dup2(written, STDERR_FILENO) < 0) {
        problem = "cannot set up the log";
        return false;
    }
    {
        std::lock_guard lock(writeMutex());
        userOutput = output;
        userError = error;
    }
    if (relayed) {
        ::close(pipeEnds[1]);
        logRelay = new LogRelay(pipeEnds[0], target);  // lives until the process ends
        static_cast<void>(owned.release());            // the relay owns the terminal's descriptor now
    }
    return true;
}

void finishLog() {
    if (logRelay == nullptr) {
        return;
    }
    // The pipe's writing ends are closed; whatever the plugin writes from now on is dropped.
    const int nowhere = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (nowhere >= 0) {
        ::dup2(nowhere, STDOUT_FILENO);
        ::dup2(nowhere, STDERR_FILENO);
        ::close(nowhere);
    }
    logRelay->waitForEnd();
}

bool out(std::string_view text) {
    std::lock_guard lock(writeMutex());
    const bool written = platform::writeAll(userOutput, text);
    if (!written) {
        outputFailed = true;
    }
    return written;
}

bool err(std::string_view text) {
    std::lock_guard lock(writeMutex());
    const bool written = platform::writeAll(userError, text);
    if (!written) {
        errorFailed = true;
    }
    return written;
}

bool outputClosed() { return closedFor(userOutput, outputFailed); }
bool errorClosed() { return closedFor(userError, errorFailed); }

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
        menu += "  " + std::to_string(i + 1) + ") " + visible(entries[i]) + "\n";
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
