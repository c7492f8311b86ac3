// The texts the host shows for a failure: a payload stays text, and the texts are looked up in the
// host's string table when asked for. Each case's own texts are checked where it is raised.

#include <gtest/gtest.h>

#include "platform/Bundle.hpp"
#include "vocabulary/VelbrookError.hpp"

using galvoria::VelbrookError;

TEST(ErrorTexts, AreLookedUpWhenAskedForNotWhenRaisedAndAPayloadStaysText) {
    platform::setMainStringTable({});
    const co::Error error = VelbrookError::unsupportedEvent().toPlatformError();
    const co::Error payload = VelbrookError::invalidSettingValue("100% %@").toPlatformError();
    platform::setMainStringTable(
        {{"Unsupported event.", "Événement non pris en charge."}, {"Please try again.", "Veuillez réessayer."}});
    EXPECT_EQ(error.localizedDescription(), "Événement non pris en charge.");
    // A key without a translation yields itself; an assembled text is looked up whole.
    EXPECT_EQ(error.localizedFailureReason(), "The specified event type is unknown.");
    const co::Error login = VelbrookError::standardMessage("Login Failed", "Please try again.").toPlatformError();
    EXPECT_EQ(login.localizedFailureReason(), "Veuillez réessayer.");
    EXPECT_EQ(payload.localizedDescription(), "Invalid value for 100% %@.");
    EXPECT_EQ(payload.localizedFailureReason(), "The value you provided for 100% %@ is not acceptable.");
    platform::setMainStringTable({});
    EXPECT_EQ(error.localizedDescription(), "Unsupported event.");
}
