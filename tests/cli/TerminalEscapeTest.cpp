// Names from the service, file names, the plugin's texts and its log reach the person's terminal
// with their control characters made visible, on every path that prints them; JSON keeps them as
// they are.

#include "tests/cli/CliFixture.hpp"

namespace galvoria::testing {
namespace {

// A folder name any member of a shared team could give: it would hide text, retitle the window,
// open a control sequence with the one-character C1 opener, move the cursor back over the line
// and turn the rest of it around.
const std::string hostileName =
    "Campaigns\x1b[8m hidden \x1b[0m\x1b]0;pwned\x07\xc2\x9b"
    "2J\n\r\u202e!";
const std::string hostileShown = "Campaigns\\x1b[8m hidden \\x1b[0m\\x1b]0;pwned\\x07\\u{009b}2J\\x0a\\x0d\\u{202e}!";
// A file name that would write the clipboard, with a stray byte that is not UTF-8.
const std::string hostileFile = "\x1b]52;c;cHduZWQ=\x07photo\xff\u2066.jpg";
const std::string hostileFileShown = "\\x1b]52;c;cHduZWQ=\\x07photo\\xff\\u{2066}.jpg";

// What may never reach the terminal from these names.
const std::vector<std::string> rawControls = {"\x1b]", "\x1b[8m", "\x07", "\xc2\x9b", "\u202e", "\u2066", "\xff"};

// Where a text was printed, what was printed there, and what it must show.
using Printed = std::tuple<std::string, std::string, std::string>;
using TerminalEscape = CliTest;

// The hostile folder, its project and file are made through the service's ordinary API by a publish.
TEST_F(TerminalEscape, EveryPathShowsControlCharactersVisibly) {
    logInDirectly();
    const std::string file = photo(hostileFile);
    const auto created =
        host({"publish", file, "--workspace", "Personal", "--new-folder", hostileName, "--new-project", hostileName});
    ASSERT_EQ(created.status, 0) << created.standardError;
    const auto projects = projectIdsNamed(hostileName);
    ASSERT_EQ(projects.size(), 1U);
    const std::vector<std::string> toProject = {"--workspace", "Personal",  "--folder",
                                                hostileName,   "--project", projects[0]};
    std::vector<Printed> printed;
    printed.push_back(
        {"summary", created.standardOutput, "new folder \"" + hostileShown + "\" › new project \"" + hostileShown});
    printed.push_back({"progress line", created.standardOutput, "Publishing " + hostileFileShown + " (1 of 1)"});
    printed.push_back({"destinations", host({"destinations"}).standardOutput, "    " + hostileShown + " (fld-"});
    printed.push_back(
        {"candidate list",
         host({"publish", file, "--workspace", "Personal", "--folder", "Nowhere", "--project", "x"}).standardError,
         "\n  " + hostileShown + " (fld-"});

    // The service's words in a listing that failed.
    server_->setFault("folders", {.status = 500, .body = R"({"message": "Down\u202e\u0085 for now"})", .times = 1});
    printed.push_back(
        {"listing problem",
         host({"publish", file, "--workspace", "Personal", "--folder", "x", "--project", "y"}).standardError,
         "could not list your folders: Down\\u{202e}\\u{0085} for now"});

    // At a terminal: the folder menu.
    {
        TerminalProcess menu(hostArguments({"publish", file, "--workspace", "Personal"}));
        EXPECT_TRUE(menu.waitFor("Choose ")) << menu.output();
        menu.type("\x04");
        menu.finish();
        printed.push_back({"menu", menu.output(), ") " + hostileShown + "\r\n"});
    }
    // At a terminal, with the log shown: the bar's file name, the log's lines and the failure summary.
    {
        server_->setFault("storage", {.status = 500, .body = "<Error/>", .contentType = "application/xml"});
        std::vector<std::string> arguments = {"publish", file, "--verbose"};
        arguments.insert(arguments.end(), toProject.begin(), toProject.end());
        TerminalProcess bar(hostArguments(arguments));
        EXPECT_EQ(bar.finish(), 1) << bar.output();
        printed.push_back({"bar", bar.output(), "ETA --:--  \\x1b]52;c;cHduZWQ=\\x07phot"});
        printed.push_back({"log line", bar.output(), "Not published: " + hostileFileShown + " ("});
        printed.push_back({"failure summary", bar.output(), "\r\n    " + hostileFileShown + " (the storage refused"});
        server_->clearFaults();
    }

    for (const auto& [path, output, expected] : printed) {
        EXPECT_NE(output.find(expected), std::string::npos) << path << ": " << expected << "\nnot in:\n" << output;
        for (const auto& raw : rawControls)
            EXPECT_EQ(output.find(raw), std::string::npos) << path << " shows a raw control:\n" << output;
    }

    // JSON carries the names as they are, escaped only as JSON escapes them.
    EXPECT_NE(host({"destinations", "--json"}).standardOutput.find(co::Value(hostileName).dump()), std::string::npos);
    std::vector<std::string> arguments = {"publish", file, "--json"};
    arguments.insert(arguments.end(), toProject.begin(), toProject.end());
    const auto published = host(arguments);
    ASSERT_EQ(published.status, 0) << published.standardError;
    const auto document = co::Value::parse(published.standardOutput);
    // JSON text is UTF-8: the stray byte is the one thing it cannot carry.
    std::string inJson = hostileFile;
    inJson.replace(inJson.find('\xff'), 1, "\ufffd");
    EXPECT_EQ(document["outcomes"][0]["name"], inJson);
    EXPECT_EQ(document["destination"]["folder"]["name"], hostileName);
}

}  // namespace
}  // namespace galvoria::testing
