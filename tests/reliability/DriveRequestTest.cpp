// Reading the driving protocol's request lines: which problem a malformed line is refused for
// (members are checked in the order the call uses them, depth first: a deeply nested value would
// overflow the stack of every copy and write that recurses per level) and what an accepted line carries.
// Which lines are blank is checked on every seed of the request lines' fuzzing target (FuzzInputs).

#include <gtest/gtest.h>

#include "host/DriveRequest.hpp"
#include "tests/support/TestSupport.hpp"

using galvoria::host::DriveRequest;
using galvoria::host::MalformedRequest;
using galvoria::host::parseRequestLine;
using galvoria::testing::nested;

namespace {

DriveRequest expectAccepted(const std::string& line) {
    const auto parsed = parseRequestLine(line);
    const auto* refused = std::get_if<MalformedRequest>(&parsed);
    EXPECT_TRUE(std::holds_alternative<DriveRequest>(parsed)) << line << ": " << (refused ? refused->message : "blank");
    return std::holds_alternative<DriveRequest>(parsed) ? std::get<DriveRequest>(parsed) : DriveRequest{};
}

struct Refusal {
    std::string line;
    std::string message;
};

TEST(RefusedLine, NamesTheFirstProblem) {
    for (const auto& [line, message] : std::vector<Refusal>{
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

TEST(AcceptedLine, CarriesItsMembersAndKeepsAbsentApartFromEmpty) {
    const auto taskOf = [](const DriveRequest& request) {
        const auto& task = request.task.value_or(galvoria::host::TaskRequest{});
        return std::tuple(request.task.has_value(), task.action.held, task.action.identifier, task.files, task.settings,
                          request.cancelAfter, request.noErrorOut);
    };
    using Files = std::optional<std::vector<std::string>>;
    using Settings = std::optional<co::Value>;
    auto request = expectAccepted(
        R"({"call": "startPublishingTask", "task": {"action": "publish", "files": null, "settings": null}})");
    EXPECT_EQ(taskOf(request), std::tuple(true, true, "", Files{}, Settings{}, std::optional<std::uint64_t>{}, false));
    request =
        expectAccepted(R"({"call": "startPublishingTask", "cancelAfter": 0, "noErrorOut": true,)"
                       R"( "task": {"action": {"displayName": "D", "identifier": "i"}, "files": [], "settings": {}}})");
    EXPECT_EQ(taskOf(request), std::tuple(true, false, "i", Files{std::vector<std::string>{}},
                                          Settings{co::Value::object()}, std::optional<std::uint64_t>{0}, true));

    request = expectAccepted(R"({"call": "didUpdateValue", "setting": "s", "value": {"n": 17, "list": [null]}})");
    EXPECT_EQ(request.value.dump(), R"({"n":17,"list":[null]})");

    // Deep values up to the limit pass unchanged.
    request = expectAccepted(R"({"call": "didUpdateValue", "setting": "s", "value": )" + nested(127) + "}");
    EXPECT_EQ(request.value.dump(), nested(127));

    request = expectAccepted(R"({"call": "publishingActionsFileCount", "fileCount": 18446744073709551615})");
    EXPECT_EQ(request.fileCount, 18446744073709551615U);

    // Members a call does not read are ignored.
    expectAccepted(R"({"call": "processingSettingsVisibilityForAction", "action": "publish", "noErrorOut": 1})");
    expectAccepted(R"({"call": "preferences", "noErrorOut": "x", "extra": [1]})");
    expectAccepted("{\"call\": \"restart\"}\r");
}

}  // namespace
