// The account panel through the host: the elements and replies a host reads, logging in and out
// against the local service. The panel's rules case by case are proven in process (AccountPanelTest),
// a refusal's reply by the command line's login.

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
        for (auto& element : elements)
            if (element.contains("context")) {
                EXPECT_TRUE(std::regex_match(element["context"].get<std::string>(), uuid));
                element.erase("context");
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

TEST_F(AccountPanelDrive, LoginThenLogoutRoundTripWithTheSecretsMasked) {
    type(demoEmail, "username-item");
    type(demoPassword, "password-item");
    EXPECT_EQ(press(1, "login-item"), refreshed);
    token_ = preferences().value("api-token", "");
    EXPECT_FALSE(token_.empty());
    EXPECT_EQ(panel(), loggedIn(demoEmail));

    EXPECT_EQ(press(1, "logout-item"), refreshed);
    EXPECT_EQ(panel(), loginForm(demoEmail, ""));
    EXPECT_NE(call({{"call", "settingsWithError"}})["groups"][0]["elements"][2]["context"],
              call({{"call", "settingsWithError"}})["groups"][0]["elements"][2]["context"]);
}

}  // namespace
}  // namespace galvoria::testing
