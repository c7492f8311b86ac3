#pragma once
// The host's own conversation with the person at the terminal: its output lines, prompts (the
// password one without echo), numbered menus, and where the plugin's log goes meanwhile.
//
// The plugin writes its log to standard error and prints library errors to standard output. The
// commands keep both channels for their own text: routeLog() moves the user's descriptors aside
// and points descriptors 1 and 2 at the log's destination, so nothing the plugin writes mixes with
// a progress bar or a JSON document.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace galvoria::host::terminal {

enum class LogDestination { discard, standardError, file };

// Keeps the user's standard output and error for the host's own lines and sends descriptors 1
// and 2 to `destination`. False with `problem` set when the log file cannot be opened. A log that
// reaches a terminal is passed on line by line through visible().
bool routeLog(LogDestination destination, const std::filesystem::path& file, std::string& problem);
// Passes on what the log still holds; call before the process leaves.
void finishLog();

// A text from outside the host (a name from the service, a file name, the plugin's message or log
// line) as the terminal may show it: every control character is made visible, so that the text
// can neither move the cursor, retitle the window, write the clipboard nor reorder what the person
// reads. Bytes of the C0 range (tab and line feed included), DEL, and bytes that are not UTF-8 show
// as \xNN; the C1 characters (U+0080-U+009F) and the bidirectional overrides and isolates
// (U+202A-U+202E, U+2066-U+2069) as \u{NNNN}. Everything else, a backslash included, is kept.
std::string visible(std::string_view text);

// The host's own lines, on the user's standard output and error. Safe from any thread. False when
// the text could not be written; from then on outputClosed() (errorClosed()) holds.
bool out(std::string_view text);
bool err(std::string_view text);

// Whether the user's standard output (error) can no longer be written: a write failed, or it is a
// pipe whose reader has gone or a terminal that hung up.
bool outputClosed();
bool errorClosed();

bool inputIsTerminal();
bool outputIsTerminal();
bool errorIsTerminal();
// The width of the terminal on standard output (or error); 80 when it cannot be told.
int columns();
int errorColumns();

// One line from standard input without its line ending; no value at the end of input.
std::optional<std::string> readLine();
// Writes `prompt` on standard error and reads the answer.
std::optional<std::string> prompt(std::string_view text);
// The same with echo switched off while the answer is typed (standard input must be a terminal).
std::optional<std::string> promptSecret(std::string_view text);
// Puts back the terminal modes a secret prompt changed; for a process that leaves in its midst.
void restoreTerminal();

// A numbered menu on standard error; the index of the chosen entry, no value at the end of input.
std::optional<std::size_t> chooseFromMenu(std::string_view title, const std::vector<std::string>& entries);

}  // namespace galvoria::host::terminal
