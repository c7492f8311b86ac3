// The account panel in process: its two shapes, the refusals of "Login", and which values it keeps.

#include "settings/AccountPanel.hpp"
#include "tests/settings/SettingsFixture.hpp"

namespace galvoria::testing {
namespace {

class AccountPanel : public SettingsTest {
protected:
    std::string panel() {
        const auto groups = settings::accountPanel(preferences_);
        EXPECT_EQ(groups.size(), 1U);
        return shapeOf(groups.at(0)->elements(), false);
    }
};

std::string loginForm(const std::string& username, const std::string& password) {
    return "username-item='" + username + "' password-item='" + password + "' login-item='null' " +
           "forgot-password-item='Forgot your password? [Click here](" + serviceBaseURL() + "/forgot-password)'";
}

TEST_F(AccountPanel, ShapeFollowsTheStoredToken) {
    EXPECT_EQ(panel(), loginForm("null", "null"));
    store_.setValue("", "api-token");
    store_.setValue("ann@example.org", "username-item");
    EXPECT_EQ(panel(), loginForm("ann@example.org", "null"));
    logInDirectly();
    EXPECT_EQ(panel(), "logged-in-item='You are logged in as ann@example.org' logout-item='null'");
    store_.removeObjectForKey("username-item");
    EXPECT_EQ(panel(), "logged-in-item='You are logged in as Unknown' logout-item='null'");
}

struct Refusal {
    const char* label;
    std::map<std::string, std::string> stored;
    std::uint64_t event;
    const char* item;
    const char* error;  // "description: failure reason", or null: accepted
    std::size_t requests;
    friend void PrintTo(const Refusal& c, std::ostream* os) { *os << c.label; }
};

class AccountPanelRefusal : public AccountPanel, public ::testing::WithParamInterface<Refusal> {};

TEST_P(AccountPanelRefusal, ChangesNothingAndCallsNoCallback) {
    const Refusal& c = GetParam();
    for (const auto& [key, value] : c.stored) store_.setValue(value, key);
    auto item = std::make_shared<co::COSettingsButtonItem>();
    item->setIdentifier(c.item);
    co::Error error;
    int callbacks = 0;
    const bool ok = settings::handleAccountEvent(network_, preferences_, c.event, item, &error,
                                                 [&](std::uint64_t, const std::optional<co::Value>&) { ++callbacks; });
    EXPECT_EQ(ok, c.error == nullptr);
    if (c.error != nullptr) {
        EXPECT_EQ(error.localizedDescription() + ": " + error.localizedFailureReason(), c.error);
    }
    EXPECT_EQ(callbacks, 0);
    EXPECT_EQ(takeRequests().size(), c.requests);
    EXPECT_EQ(store_.dictionary(), c.stored);
}

using Stored = std::map<std::string, std::string>;
const Stored nothing;
const Stored emailOnly = {{"username-item", demoEmail}};
const Stored filledIn = {{"username-item", demoEmail}, {"password-item", "wrong"}};
constexpr const char* unsupported = "Unsupported event.: The specified event type is unknown.";

INSTANTIATE_TEST_SUITE_P(
    Cases, AccountPanelRefusal,
    ::testing::Values(Refusal{"BothEmptyNamesEmail", nothing, 1, "login-item",
                              "Invalid value for Email.: The value you provided for Email is not acceptable.", 0},
                      Refusal{"EmptyPassword", emailOnly, 1, "login-item",
                              "Invalid value for Password.: The value you provided for Password is not acceptable.", 0},
                      Refusal{"WrongPasswordStaysStored", filledIn, 1, "login-item", "Login Failed: Please try again.",
                              1},
                      Refusal{"EventZero", filledIn, 0, "login-item", unsupported, 0},
                      Refusal{"EventTwoOnLogout", filledIn, 2, "logout-item", unsupported, 0},
                      Refusal{"PressOnField", filledIn, 1, "username-item", nullptr, 0}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(AccountPanel, OnlyTextForThePanelsFieldsIsStoredAndLoggedLiterally) {
    settings::didUpdateAccountValue(preferences_, 17, "username-item");
    settings::didUpdateAccountValue(preferences_, co::Value::array({demoPassword}), "password-item");
    settings::didUpdateAccountValue(preferences_, "forged", "api-token");
    EXPECT_TRUE(store_.dictionary().empty());
    EXPECT_TRUE(settings::didUpdateAccountValue(preferences_, "a%@b%f@x.test", "username-item"));
    EXPECT_EQ(store_.dictionary(), (Stored{{"username-item", "a%@b%f@x.test"}}));
    const auto lines = log_.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Persists: a%@b%f@x.test forKey: username-item"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "UPDATED VALUE: a%@b%f@x.test FOR SETTING: username-item"),
              lines.end());
}

}  // namespace
}  // namespace galvoria::testing
