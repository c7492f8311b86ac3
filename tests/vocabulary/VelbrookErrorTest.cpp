// The texts the host shows for each failure, and their lookup in the host's string table.

#include <gtest/gtest.h>

#include "platform/Bundle.hpp"
#include "vocabulary/VelbrookError.hpp"

using galvoria::VelbrookError;

namespace {

struct ErrorCase {
    const char* name;
    VelbrookError error;
    const char* description;
    const char* failureReason;
};

co::ActionPtr actionNamed(const std::string& name) { return std::make_shared<co::COPluginAction>(name); }

class ErrorTexts : public ::testing::TestWithParam<ErrorCase> {};

}  // namespace

TEST_P(ErrorTexts, DescriptionAndFailureReasonAreExact) {
    const auto& c = GetParam();
    const co::Error error = c.error.toPlatformError();
    EXPECT_EQ(error.localizedDescription(), c.description);
    EXPECT_EQ(error.localizedFailureReason(), c.failureReason);
}

INSTANTIATE_TEST_SUITE_P(
    EveryCase, ErrorTexts,
    ::testing::Values(ErrorCase{"standardMessage", VelbrookError::standardMessage("Login Failed", "Please try again."),
                                "Login Failed", "Please try again."},
                      ErrorCase{"invalidSettingValue", VelbrookError::invalidSettingValue("Email"),
                                "Invalid value for Email.", "The value you provided for Email is not acceptable."},
                      ErrorCase{
                          "invalidActionSettings",
                          VelbrookError::invalidActionSettings("Not logged in", actionNamed("Publish to galvoria")),
                          "Invalid value for Not logged in",
                          "The value supplied for Not logged in is not valid for performing Publish to galvoria."},
                      ErrorCase{"invalidAction", VelbrookError::invalidAction(), "Innvalid action.",
                                "The action cannot be performed by this plugin."},
                      ErrorCase{"invalidTaskFiles", VelbrookError::invalidTaskFiles(), "Invalid task files.",
                                "The files supplied along with the task are not valid for starting the task."},
                      ErrorCase{"unsupportedEvent", VelbrookError::unsupportedEvent(), "Unsupported event.",
                                "The specified event type is unknown."},
                      // A payload with a per cent sign stays text.
                      ErrorCase{"payloadWithPercent", VelbrookError::invalidSettingValue("100% %@"),
                                "Invalid value for 100% %@.", "The value you provided for 100% %@ is not acceptable."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ErrorLookup, TextsAreLookedUpWhenAskedForNotWhenRaised) {
    platform::setMainStringTable({});
    const co::Error error = VelbrookError::unsupportedEvent().toPlatformError();
    platform::setMainStringTable(
        {{"Unsupported event.", "Événement non pris en charge."}, {"Please try again.", "Veuillez réessayer."}});
    EXPECT_EQ(error.localizedDescription(), "Événement non pris en charge.");
    // A key without a translation yields itself; an assembled text is looked up whole.
    EXPECT_EQ(error.localizedFailureReason(), "The specified event type is unknown.");
    const co::Error login = VelbrookError::standardMessage("Login Failed", "Please try again.").toPlatformError();
    EXPECT_EQ(login.localizedFailureReason(), "Veuillez réessayer.");
    platform::setMainStringTable({});
    EXPECT_EQ(error.localizedDescription(), "Unsupported event.");
}

TEST(ErrorLookup, NoOutParameterDropsTheError) {
    VelbrookError::invalidAction().report(nullptr);  // must not crash
    co::Error slot;
    VelbrookError::invalidAction().report(&slot);
    EXPECT_EQ(slot.localizedDescription(), "Innvalid action.");
}
