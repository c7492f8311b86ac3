// The account panel through the host: its two shapes, logging in and out against the local
// service, the refusals, and what the log shows of the secrets.

#include <regex>

#include "tests/settings/ServiceDrive.hpp"

namespace galvoria::testing {
namespace {

class AccountPanelDrive : public ServiceDrive {
protected:
    // The panel's elements, button contexts checked for the UUID form and then left out.
    Json panel() {
        const Json group = call({{"call", "settingsWithError"}})["groups"][0];
        EXPECT_EQ(group["identifier"], "defaultSettingsGroup");
        EXPECT_EQ(group["title"], "Default");
        Json elements = group["elements"];
        static const std::regex uuid("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
        for (auto& element : elements) {
            if (element.contains("context")) {
                EXPECT_TRUE(std::regex_match(element["context"].get<std::string>(), uuid));
                element.erase("context");
            }
        }
        return elements;
    }
    void type(const Json& value, const std::string& setting) {
        const Json reply = call({{"call", "didUpdateValue"}, {"value", value}, {"setting", setting}});
        EXPECT_EQ(reply, (Json{{"reply", "didUpdateValue"}, {"ok", true}, {"callbacks", Json::array()}}));
    }
    Json press(int event, const std::string& item) {
        return call({{"call", "handleEvent"}, {"event", event}, {"item", item}});
    }
};

const Json refreshed = {{"reply", "handleEvent"}, {"ok", true}, {"callbacks", {{{"code", 1}}}}};

Json loginForm(const Json& username, const Json& password) {
    Json form = Json::parse(std::string(R"j([
        {"class": "COSettingsTextItem", "identifier": "username-item", "title": "Username", "secure": false},
        {"class": "COSettingsTextItem", "identifier": "password-item", "title": "Password", "secure": true},
        {"class": "COSettingsButtonItem", "identifier": "login-item", "title": "Login"},
        {"class": "COSettingsLabelItem", "identifier": "forgot-password-item",
         "value": "Forgot your password? [Click here]()j") +
                            GALVORIA_SERVICE_URL + R"j(/forgot-password)"}])j");
    if (!username.is_null()) form[0]["value"] = username;
    if (!password.is_null()) form[1]["value"] = password;
    return form;
}

Json loggedIn(const std::string& name) {
    return {
        {{"class", "COSettingsLabelItem"}, {"identifier", "logged-in-item"}, {"value", "You are logged in as " + name}},
        {{"class", "COSettingsButtonItem"}, {"identifier", "logout-item"}, {"title", "Logout"}}};
}

TEST_F(AccountPanelDrive, ShapeFollowsTheStoredToken) {
    EXPECT_EQ(panel(), loginForm(nullptr, nullptr));
    storeAll({{"api-token", ""}, {"username-item", "ann@example.org"}});
    EXPECT_EQ(panel(), loginForm("ann@example.org", nullptr));
    logInDirectly();
    EXPECT_EQ(panel(), loggedIn("ann@example.org"));
    store().removeObjectForKey("username-item");
    EXPECT_EQ(panel(), loggedIn("Unknown"));
    const Json first = call({{"call", "settingsWithError"}});
    EXPECT_NE(first["groups"][0]["elements"][1]["context"],
              call({{"call", "settingsWithError"}})["groups"][0]["elements"][1]["context"]);
}

TEST_F(AccountPanelDrive, LoginThenLogoutRoundTripWithTheSecretsMasked) {
    type(demoEmail, "username-item");
    type(demoPassword, "password-item");
    EXPECT_EQ(preferences(), (Json{{"password-item", demoPassword}, {"username-item", demoEmail}}));
    EXPECT_EQ(press(1, "login-item"), refreshed);
    EXPECT_EQ(takeRequests(), Requests{"POST /sanctum/token"});
    token_ = preferences().value("api-token", "");
    EXPECT_FALSE(token_.empty());
    EXPECT_EQ(preferences()["password-item"], "");
    EXPECT_EQ(panel(), loggedIn(demoEmail));

    EXPECT_EQ(press(1, "logout-item"), refreshed);
    EXPECT_EQ(preferences(), (Json{{"password-item", ""}, {"username-item", demoEmail}}));
    EXPECT_EQ(panel(), loginForm(demoEmail, ""));
    const std::string log = finishedLog();
    for (const char* line : {"UPDATED VALUE: ******** FOR SETTING: password-item",
                             "Persists: ******** forKey: password-item", "Password: ********"}) {
        EXPECT_NE(log.find(line), std::string::npos) << line;
    }
}

struct Refusal {
    const char* label;
    Json stored;
    int event;
    const char* item;
    Json error;  // null: accepted, with no callback
    std::size_t requests;
    friend void PrintTo(const Refusal& c, std::ostream* os) { *os << c.label; }
};

class AccountPanelRefusal : public AccountPanelDrive, public ::testing::WithParamInterface<Refusal> {};

TEST_P(AccountPanelRefusal, ChangesNothingAndCallsNoCallback) {
    const Refusal& c = GetParam();
    storeAll(c.stored);
    Json expected = {{"reply", "handleEvent"}, {"ok", c.error.is_null()}, {"callbacks", Json::array()}};
    if (!c.error.is_null()) expected["error"] = c.error;
    EXPECT_EQ(press(c.event, c.item), expected);
    EXPECT_EQ(takeRequests().size(), c.requests);
    EXPECT_EQ(preferences(), c.stored);
}

Json invalid(const std::string& setting) {
    return {{"description", "Invalid value for " + setting + "."},
            {"failureReason", "The value you provided for " + setting + " is not acceptable."}};
}
const Json unsupported = {{"description", "Unsupported event."},
                          {"failureReason", "The specified event type is unknown."}};
const Json filledIn = {{"username-item", demoEmail}, {"password-item", "wrong"}};

INSTANTIATE_TEST_SUITE_P(
    Cases, AccountPanelRefusal,
    ::testing::Values(Refusal{"BothEmptyNamesEmail", Json::object(), 1, "login-item", invalid("Email"), 0},
                      Refusal{"EmptyPassword", {{"username-item", demoEmail}}, 1, "login-item", invalid("Password"), 0},
                      Refusal{"WrongPasswordStaysStored",
                              filledIn,
                              1,
                              "login-item",
                              {{"description", "Login Failed"}, {"failureReason", "Please try again."}},
                              1},
                      Refusal{"EventZero", filledIn, 0, "login-item", unsupported, 0},
                      Refusal{"EventTwoOnLogout", filledIn, 2, "logout-item", unsupported, 0},
                      Refusal{"PressOnField", filledIn, 1, "username-item", nullptr, 0}),
    [](const auto& info) { return std::string(info.param.label); });

TEST_F(AccountPanelDrive, OnlyTextForThePanelsFieldsIsStoredAndLoggedLiterally) {
    type(17, "username-item");
    type(Json::array({demoPassword}), "password-item");
    type("forged", "api-token");
    EXPECT_EQ(preferences(), Json::object());
    type("a%@b%f@x.test", "username-item");
    EXPECT_EQ(preferences(), (Json{{"username-item", "a%@b%f@x.test"}}));
    EXPECT_NE(finishedLog().find("Persists: a%@b%f@x.test forKey: username-item"), std::string::npos);
}

}  // namespace
}  // namespace galvoria::testing
