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
    if (const auto* refused = std::get_if<MalformedRequest>(&parsed)) {
        ADD_FAILURE() << line << " was refused: " << refused->message;
        return {};
    }
    EXPECT_TRUE(std::holds_alternative<DriveRequest>(parsed)) << line;
    return std::holds_alternative<DriveRequest>(parsed) ? std::get<DriveRequest>(parsed) : DriveRequest{};
}

struct Refusal {
    std::string line;
    std::string message;
};

class RefusedLine : public ::testing::TestWithParam<Refusal> {};

TEST_P(RefusedLine, NamesTheFirstProblem) {
    const auto parsed = parseRequestLine(GetParam().line);
    ASSERT_TRUE(std::holds_alternative<MalformedRequest>(parsed)) << GetParam().line;
    EXPECT_EQ(std::get<MalformedRequest>(parsed).message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, RefusedLine,
    ::testing::Values(
        Refusal{"[1]", "the request is not a JSON object"},
        Refusal{"{\"call\": \"preferences\"", "the request is not a JSON object"},
        Refusal{"{\"call\": \"pre\xff\"}", "the request is not a JSON object"},
        Refusal{R"({"call": null})", "the request has no string member \"call\""},
        Refusal{R"({"call": "Preferences"})", "unknown call \"Preferences\""},
        Refusal{R"({"call": "tasksForAction", "files": [1]})", "missing member \"action\""},
        Refusal{R"({"call": "tasksForAction", "action": "publish", "files": [1], "noErrorOut": 3})",
                "member \"files\" must be an array of strings"},
        Refusal{R"({"call": "tasksForAction", "action": {"displayName": "E"}, "files": []})",
                "missing member \"identifier\""},
        Refusal{R"({"call": "tasksForAction", "action": 7, "files": []})",
                "member \"action\" must be \"publish\" or an object with \"displayName\" and \"identifier\""},
        Refusal{R"({"call": "validateSettings", "action": "export", "settings": []})",
                "member \"settings\" must be an object"},
        Refusal{R"({"call": "validateSettings", "action": "export", "settings": {}})", "unknown action \"export\""},
        Refusal{R"({"call": "didUpdateActionValue", "setting": 1, "action": "publish", "settings": {}})",
                "missing member \"value\""},
        Refusal{R"({"call": "didUpdateActionValue", "value": 1, "setting": 1})", "member \"setting\" must be a string"},
        Refusal{R"({"call": "handleEvent", "event": 1.0, "item": "x"})",
                "member \"event\" must be an integer of at least 0"},
        Refusal{R"({"call": "settingsWithError", "noErrorOut": "yes"})", "member \"noErrorOut\" must be a boolean"},
        Refusal{R"({"call": "startPublishingTask", "task": {"files": []}})", "missing member \"action\""},
        Refusal{R"({"call": "startPublishingTask", "task": {"action": "publish", "settings": []}})",
                "member \"settings\" of \"task\" must be an object or null"},
        Refusal{R"({"call": "startPublishingTask", "task": {"action": "publish"}, "cancelAfter": null})",
                "member \"cancelAfter\" must be an integer of at least 0"},
        Refusal{R"({"call": "didUpdateValue", "setting": "s", "value": )" + nested(128) + "}",
                "the request is nested deeper than 128 levels"},
        Refusal{nested(200000), "the request is nested deeper than 128 levels"}));

TEST(AcceptedLine, CarriesItsMembersAndKeepsAbsentApartFromEmpty) {
    auto request = expectAccepted(
        R"({"call": "startPublishingTask", "task": {"action": "publish", "files": null, "settings": null}})");
    ASSERT_TRUE(request.task.has_value());
    EXPECT_TRUE(request.task->action.held);
    EXPECT_FALSE(request.task->files.has_value());
    EXPECT_FALSE(request.task->settings.has_value());
    EXPECT_FALSE(request.cancelAfter.has_value());

    request =
        expectAccepted(R"({"call": "startPublishingTask", "cancelAfter": 0, "noErrorOut": true,)"
                       R"( "task": {"action": {"displayName": "D", "identifier": "i"}, "files": [], "settings": {}}})");
    ASSERT_TRUE(request.task.has_value());
    EXPECT_FALSE(request.task->action.held);
    EXPECT_EQ(request.task->action.identifier, "i");
    EXPECT_EQ(request.task->files, std::vector<std::string>{});
    EXPECT_EQ(request.task->settings, co::Value::object());
    EXPECT_EQ(request.cancelAfter, 0U);
    EXPECT_TRUE(request.noErrorOut);

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
