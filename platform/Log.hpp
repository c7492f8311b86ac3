#pragma once
// The system log: one line per message on standard error, in the form
//   2026-12-06 10:00:00.000 galvoria-host[4242:4243] message
// and the plugin's "printed to standard output" lines, which go to descriptor 1 as they are.
//
// Two ways to log, as the plugin does: a literal line, or a format whose "%@" and "%f" placeholders
// are filled with arguments in one pass, so a "%" inside an argument is printed as it stands.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform::log {

// One argument of a format: "%@" takes any of them, "%f" a number (printed with six decimals).
using Argument = std::variant<std::string, std::string_view, const char*, double, std::int64_t, std::uint64_t, int>;

void line(std::string_view text);
void format(std::string_view format, const std::vector<Argument>& arguments);
// A line for standard output (errors of the HTTP library and of file access).
void toStandardOutput(std::string_view text);

// Fills a format the way the log does; exposed for the callers that need the text itself.
std::string render(std::string_view format, const std::vector<Argument>& arguments);

enum class Channel { log, standardOutput };
// Receives every line in addition to the descriptors (tests capture lines this way). Pass an empty
// function to remove it.
using Sink = std::function<void(Channel channel, std::string_view text)>;
void setSink(Sink sink);

}  // namespace platform::log
