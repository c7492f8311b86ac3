#pragma once
// Child processes for the benchmarks: run a program to its end and report its wall time, exit
// status and the kernel's account of its resources (peak resident set, user and system CPU).

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace galvoria::bench {

struct ProcessCall {
    std::vector<std::string> arguments;  // arguments[0] is the program (looked up in PATH)
    std::string input;                   // written to standard input, which is then closed
    std::filesystem::path output = "/dev/null";
    std::filesystem::path error = "/dev/null";
};

struct RunResult {
    bool started = false;
    std::chrono::steady_clock::time_point startedAt;  // just before the start (the system's monotonic clock)
    int exitStatus = -1;                              // -1 when the process did not exit normally
    double wallSeconds = 0.0;
    double userSeconds = 0.0;
    double systemSeconds = 0.0;
    std::uint64_t peakResidentBytes = 0;

    [[nodiscard]] bool succeeded() const { return started && exitStatus == 0; }
    [[nodiscard]] double cpuSeconds() const { return userSeconds + systemSeconds; }
};

// Starts the program and waits for it; the wall time runs from just before the start to the exit.
RunResult run(const ProcessCall& call);

// A process that runs in the background until stop() (or the owner goes away), e.g. the service.
class Background {
public:
    Background() = default;
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // Starts the program with its standard error in `error` and returns the first line it writes to
    // standard output, or no value when it ends (or writes nothing) within `timeoutSeconds`.
    std::optional<std::string> start(const std::vector<std::string>& arguments, const std::filesystem::path& error,
                                     int timeoutSeconds = 20);
    // SIGTERM, then waits for the exit.
    void stop();
    [[nodiscard]] bool running() const { return pid_ > 0; }

private:
    pid_t pid_ = -1;
    int output_ = -1;
};

// The whole text of a file; empty when it cannot be read.
std::string readText(const std::filesystem::path& path);

}  // namespace galvoria::bench
