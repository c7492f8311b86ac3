// The account panel and the publish options as a host reads them through the drive protocol,
// against the local service: the elements as objects, the callbacks and replies, and the caches
// emptied when the publish action is picked. Their rules case by case are proven in process
// (AccountPanelTest, PublishOptionsTest). No secret may reach the host's log.

#include <regex>

#include "tests/settings/ServiceDrive.hpp"

namespace galvoria::testing {
namespace {

// The lists in short: "id:title[option titles]".
std::string titlesOf(const Json& elements) {
    std::string shape;
    for (const auto& element : elements) {
        std::string options;
        for (const auto& option : element["options"])
            options += (options.empty() ? "" : ",") + option.value("title", "");
        shape += (shape.empty() ? "" : " ") + element.value("identifier", "") + ":" + element.value("title", "") + "[" +
                 options + "]";
    }
    return shape;
}

class SettingsDrive : public ServiceDrive {
protected:
    Json press(const std::string& item) { return call({{"call", "handleEvent"}, {"event", 1}, {"item", item}}); }
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
    Json options(const Json& settings, const Json& action = "publish") {
        const Json reply = call({{"call", "settingsForAction"}, {"action", action}, {"settings", settings}});
        EXPECT_TRUE(reply["ok"]);
        return reply["groups"].empty() ? Json::array() : reply["groups"][0]["elements"];
    }
};

TEST_F(SettingsDrive, LoginListingTheOptionsAndLogoutRoundTrip) {
    const Json refreshed = {{"reply", "handleEvent"}, {"ok", true}, {"callbacks", {{{"code", 1}}}}};
    for (const auto& [setting, value] : {std::pair{"username-item", demoEmail}, {"password-item", demoPassword}})
        EXPECT_EQ(call({{"call", "didUpdateValue"}, {"value", value}, {"setting", setting}}),
                  (Json{{"reply", "didUpdateValue"}, {"ok", true}, {"callbacks", Json::array()}}));
    EXPECT_EQ(press("login-item"), refreshed);
    token_ = preferences().value("api-token", "");
    EXPECT_FALSE(token_.empty());
    EXPECT_EQ(takeRequests(), Requests{"POST /sanctum/token"});
    EXPECT_EQ(panel(), Json::parse(R"([
        {"class": "COSettingsLabelItem", "identifier": "logged-in-item", "value": "You are logged in as demo@galvoria.test"},
        {"class": "COSettingsButtonItem", "identifier": "logout-item", "title": "Logout"}])"));

    const Json group =
        call({{"call", "settingsForAction"}, {"action", "publish"}, {"settings", Json::object()}})["groups"][0];
    EXPECT_EQ(group["identifier"], "org.galvoria.c1plugin.publishOptions");
    EXPECT_EQ(group["title"], "galvoria");
    EXPECT_EQ(titlesOf(group["elements"]),
              "workspace-source-list-item:Account[Agence Nord,Demo Photographer,Mireille Laurent,Studio Lumière] "
              "workspace-list-item:Workspace[Select Workspace] folder-list-item:Folder[Select Folder,+ Create New "
              "Folder] project-list-item:Projects[Select Project,+ Create New Project]");
    const Requests topListings = {"GET /api/teams", "GET /api/workspaces"};
    EXPECT_EQ(takeRequests(), topListings);

    // Picking another action keeps the caches; picking the publish action empties them.
    const Json full = Json::parse(R"({"workspace-source-list-item": "acc-7d1f2c", "workspace-list-item": "ws-4f1c2a",
                                      "folder-list-item": "fld-31a8e2"})");
    const Requests both = {"GET /api/workspaces/ws-4f1c2a/folders", "GET /api/workspaces/ws-4f1c2a/projects"};
    options(full);
    EXPECT_EQ(takeRequests(), both);
    const Json otherAction = {{"displayName", "Export"}, {"identifier", "com.example.export"}};
    call({{"call", "processingSettingsVisibilityForAction"}, {"action", otherAction}});
    options(full);
    EXPECT_EQ(takeRequests(), Requests{});
    call({{"call", "processingSettingsVisibilityForAction"}, {"action", "publish"}});
    options(full);
    EXPECT_EQ(takeRequests(), (Requests{topListings[0], topListings[1], both[0], both[1]}));
    EXPECT_EQ(options(Json::object(), otherAction), Json::array());
    const Json update = {{"call", "didUpdateActionValue"},
                         {"value", "0"},
                         {"setting", "folder-list-item"},
                         {"action", "publish"},
                         {"settings", Json::object()}};
    EXPECT_EQ(call(update)["callbackAction"], 1);

    EXPECT_EQ(press("logout-item"), refreshed);
    EXPECT_EQ(panel(), Json::parse(std::string(R"j([
        {"class": "COSettingsTextItem", "identifier": "username-item", "title": "Username", "secure": false,
         "value": "demo@galvoria.test"},
        {"class": "COSettingsTextItem", "identifier": "password-item", "title": "Password", "secure": true, "value": ""},
        {"class": "COSettingsButtonItem", "identifier": "login-item", "title": "Login"},
        {"class": "COSettingsLabelItem", "identifier": "forgot-password-item",
         "value": "Forgot your password? [Click here]()j") +
                                   GALVORIA_SERVICE_URL + R"j(/forgot-password)"}])j"));
    EXPECT_NE(call({{"call", "settingsWithError"}})["groups"][0]["elements"][2]["context"],
              call({{"call", "settingsWithError"}})["groups"][0]["elements"][2]["context"]);
}

}  // namespace
}  // namespace galvoria::testing
