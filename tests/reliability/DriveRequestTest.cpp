// Reading the driving protocol's request lines: which problem a malformed line is refused for
// (members are checked in the order the call uses them, depth first: a deeply nested value would
// overflow the stack of every copy and write that recurses per level), and that the requests kept as
// seeds of the request lines' fuzzing target are read. Which lines are blank, and what an accepted
// line carries, is checked on every seed by that target's check (FuzzInputs).

#include <filesystem>

#include <gtest/gtest.h>

#include "host/DriveRequest.hpp"
#include "tests/support/TestSupport.hpp"

using galvoria::host::MalformedRequest;
using galvoria::host::parseRequestLine;
using galvoria::testing::nested;
using galvoria::testing::readFile;

namespace {

TEST(RefusedLine, NamesTheFirstProblem) {
    for (const auto& [line, message] : std::vector<std::pair<std::string, std::string>>{
             {"[1]", "the request is not a JSON object"},
             {"{\"call\": \"preferences\"", "the request is not a JSON object"},
             {"{\"call\": \"pre\xff\"}", "the request is not a JSON object"},
             {R"({"call": null})", "the request has no string member \"call\""},
             {R"({"call": "Preferences"})", "unknown call \"Preferences\""},
             {R"({"call": "tasksForAction", "files": [1]})", "missing member \"action\""},
             {R"({"call": "tasksForAction", "action": "publish", "files": [1], "noErrorOut": 3})",
              "member \"files\" must be an array of strings"},
             {R"({"call": "tasksForAction", "action": {"displayName": "E"}, "files": []})",
              "missing member \"identifier\""},
             {R"({"call": "tasksForAction", "action": 7, "files": []})",
              "member \"action\" must be \"publish\" or an object with \"displayName\" and \"identifier\""},
             {R"({"call": "validateSettings", "action": "export", "settings": []})",
              "member \"settings\" must be an object"},
             {R"({"call": "validateSettings", "action": "export", "settings": {}})", "unknown action \"export\""},
             {R"({"call": "didUpdateActionValue", "setting": 1, "action": "publish", "settings": {}})",
              "missing member \"value\""},
             {R"({"call": "didUpdateActionValue", "value": 1, "setting": 1})", "member \"setting\" must be a string"},
             {R"({"call": "handleEvent", "event": 1.0, "item": "x"})",
              "member \"event\" must be an integer of at least 0"},
             {R"({"call": "settingsWithError", "noErrorOut": "yes"})", "member \"noErrorOut\" must be a boolean"},
             {R"({"call": "startPublishingTask", "task": {"files": []}})", "missing member \"action\""},
             {R"({"call": "startPublishingTask", "task": {"action": "publish", "settings": []}})",
              "member \"settings\" of \"task\" must be an object or null"},
             {R"({"call": "startPublishingTask", "task": {"action": "publish"}, "cancelAfter": null})",
              "member \"cancelAfter\" must be an integer of at least 0"},
             {R"({"call": "didUpdateValue", "setting": "s", "value": )" + nested(128) + "}",
              "the request is nested deeper than 128 levels"},
             {nested(200000), "the request is nested deeper than 128 levels"}}) {
        const auto parsed = parseRequestLine(line);
        const auto* refused = std::get_if<MalformedRequest>(&parsed);
        EXPECT_EQ(refused ? refused->message : "accepted", message) << line;
    }
}

// The seeds named line-NN of the request lines' fuzzing target are requests (or blank lines): none is
// refused. Its check, run on every seed by FuzzInputs, holds what each carries to the line's members,
// an absent member apart from an empty one.
TEST(AcceptedLine, NoRequestSeedIsRefused) {
    for (const auto& entry : std::filesystem::directory_iterator(GALVORIA_FUZZ_DIR "/corpus/drive_request")) {
        if (!entry.path().filename().string().starts_with("line-")) continue;
        const std::string line = readFile(entry.path());
        const auto parsed = parseRequestLine(line.substr(0, line.find('\n')));
        const auto* refused = std::get_if<MalformedRequest>(&parsed);
        EXPECT_EQ(refused, nullptr) << entry.path().filename() << ": " << (refused ? refused->message : "");
    }
}

}  // namespace
