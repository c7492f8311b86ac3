#include "bench/Process.hpp"

#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <sstream>

#include "platform/FileWrite.hpp"

namespace galvoria::bench {
namespace {

double seconds(const timeval& value) {
    return static_cast<double>(value.tv_sec) + static_cast<double>(value.tv_usec) / 1e6;
}

}  // namespace

RunResult run(const ProcessCall& call) {
    RunResult result;
    const auto begin = std::chrono::steady_clock::now();
    std::optional<platform::Child> child = platform::Child::spawn({.arguments = call.arguments,
                                                                   .input = platform::Stream::pipe(),
                                                                   .output = platform::Stream::file(call.output),
                                                                   .error = platform::Stream::file(call.error, true)});
    if (!child) return result;
    result.started = true;
    result.startedAt = begin;
    // A pipe holds 64 KiB; every input here is far smaller, so this never waits on the child.
    static_cast<void>(platform::writeAll(child->input().get(), call.input));
    child->input().reset();

    const platform::Exit exit = child->wait();
    const auto end = std::chrono::steady_clock::now();
    result.wallSeconds = std::chrono::duration<double>(end - begin).count();
    result.exitStatus = exit.exitStatus().value_or(-1);
    result.userSeconds = seconds(exit.usage.ru_utime);
    result.systemSeconds = seconds(exit.usage.ru_stime);
    result.peakResidentBytes = static_cast<std::uint64_t>(exit.usage.ru_maxrss) * 1024U;  // Linux reports KiB
    return result;
}

Background::~Background() { stop(); }

std::optional<std::string> Background::start(const std::vector<std::string>& arguments,
                                             const std::filesystem::path& error, int timeoutSeconds) {
    stop();
    child_ = platform::Child::spawn(
        {.arguments = arguments, .output = platform::Stream::pipe(), .error = platform::Stream::file(error)});
    if (!child_) return std::nullopt;

    const int output = child_->output().get();
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
    while (line.find('\n') == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd entry{output, POLLIN, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        char buffer[256];
        const std::size_t count = platform::readSome(output, buffer, sizeof(buffer));
        if (count == 0) break;
        line.append(buffer, count);
    }
    const auto newline = line.find('\n');
    if (newline == std::string::npos) {
        stop();
        return std::nullopt;
    }
    return line.substr(0, newline);
}

void Background::stop() {
    if (!child_) return;
    child_->signal(SIGTERM);
    static_cast<void>(child_->wait());
    child_.reset();
}

std::string readText(const std::filesystem::path& path) {
    std::ifstream input(path, std::ios::binary);
    std::stringstream text;
    text << input.rdbuf();
    return text.str();
}

}  // namespace galvoria::bench
