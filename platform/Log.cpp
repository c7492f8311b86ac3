#include "platform/Log.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "platform/FileWrite.hpp"

namespace platform::log {
namespace {

std::mutex& sinkMutex() {
    static std::mutex mutex;
    return mutex;
}

Sink& sinkSlot() {
    static Sink sink;
    return sink;
}

void deliver(Channel channel, std::string_view text) {
    std::lock_guard lock(sinkMutex());
    if (sinkSlot()) {
        sinkSlot()(channel, text);
    }
}

std::string timestamp() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t seconds = system_clock::to_time_t(now);
    const auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char buffer[64];
    const std::size_t length = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
    char out[96];
    std::snprintf(out, sizeof out, "%.*s.%03lld", static_cast<int>(length), buffer, static_cast<long long>(millis));
    return out;
}

std::string argumentText(const Argument& argument, bool asFloat) {
    return std::visit(
        [asFloat](const auto& value) -> std::string {
            using T = std::decay_t<decltype(value)>;
            if constexpr (std::is_same_v<T, std::string>) {
                return value;
            } else if constexpr (std::is_same_v<T, std::string_view>) {
                return std::string(value);
            } else if constexpr (std::is_same_v<T, const char*>) {
                return value == nullptr ? std::string("(null)") : std::string(value);
            } else {
                if (asFloat) {
                    char buffer[64];
                    std::snprintf(buffer, sizeof buffer, "%f", static_cast<double>(value));
                    return buffer;
                }
                if constexpr (std::is_same_v<T, double>) {
                    char buffer[64];
                    std::snprintf(buffer, sizeof buffer, "%g", value);
                    return buffer;
                } else {
                    return std::to_string(value);
                }
            }
        },
        argument);
}

}  // namespace

std::string render(std::string_view format, const std::vector<Argument>& arguments) {
    std::string out;
    out.reserve(format.size() + 32);
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        const char c = format[i];
        if (c != '%' || i + 1 == format.size()) {
            out.push_back(c);
            continue;
        }
        const char directive = format[i + 1];
        if (directive == '%') {
            out.push_back('%');
            ++i;
        } else if (directive == '@' || directive == 'f') {
            if (next < arguments.size()) {
                out += argumentText(arguments[next], directive == 'f');
            }
            ++next;
            ++i;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

void line(std::string_view text) {
    static const std::string process = program_invocation_short_name;
    std::string out = timestamp();
    out += ' ';
    out += process;
    out += '[';
    out += std::to_string(::getpid());
    out += ':';
    out += std::to_string(static_cast<long>(::syscall(SYS_gettid)));
    out += "] ";
    out += text;
    out += '\n';
    writeAll(STDERR_FILENO, out);
    deliver(Channel::log, text);
}

void format(std::string_view format, const std::vector<Argument>& arguments) { line(render(format, arguments)); }

void toStandardOutput(std::string_view text) {
    std::string out(text);
    out += '\n';
    writeAll(STDOUT_FILENO, out);
    deliver(Channel::standardOutput, text);
}

void setSink(Sink sink) {
    std::lock_guard lock(sinkMutex());
    sinkSlot() = std::move(sink);
}

}  // namespace platform::log
