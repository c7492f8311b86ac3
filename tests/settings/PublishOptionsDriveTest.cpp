// The publish options through the host against the local service: the group a host reads, the
// caches emptied when the publish action is picked, and an update's reply. The rules of the chain,
// the caches, the source order, failed listings and validation are proven in process
// (PublishOptionsTest); validation's replies by the command line's refusals.

#include "tests/settings/ServiceDrive.hpp"

namespace galvoria::testing {
namespace {

const Requests topListings = {"GET /api/teams", "GET /api/workspaces"};
const Json otherAction = {{"displayName", "Export"}, {"identifier", "com.example.export"}};

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

class PublishOptionsDrive : public ServiceDrive {
protected:
    Json options(const Json& settings, const Json& action = "publish") {
        const Json reply = call({{"call", "settingsForAction"}, {"action", action}, {"settings", settings}});
        EXPECT_TRUE(reply["ok"]);
        return reply["groups"].empty() ? Json::array() : reply["groups"][0]["elements"];
    }
    void emptyCaches() { call({{"call", "processingSettingsVisibilityForAction"}, {"action", "publish"}}); }
};

TEST_F(PublishOptionsDrive, FirstCallListsSortedSourcesAndFixedEntries) {
    logInDirectly();
    const Json group =
        call({{"call", "settingsForAction"}, {"action", "publish"}, {"settings", Json::object()}})["groups"][0];
    std::string actionId = call({{"call", "publishingActionsFileCount"}, {"fileCount", 1}})["actions"][0]["identifier"];
    EXPECT_EQ(group["identifier"], actionId.substr(0, actionId.rfind(".publishToDummyAction")) + ".publishOptions");
    EXPECT_EQ(group["title"], "galvoria");
    EXPECT_EQ(titlesOf(group["elements"]),
              "workspace-source-list-item:Account[Agence Nord,Demo Photographer,Mireille Laurent,Studio Lumière] "
              "workspace-list-item:Workspace[Select Workspace] folder-list-item:Folder[Select Folder,+ Create New "
              "Folder] project-list-item:Projects[Select Project,+ Create New Project]");
    EXPECT_EQ(takeRequests(), topListings);
}

const std::string personal = R"({"workspace-source-list-item": "acc-7d1f2c", "workspace-list-item": "ws-4f1c2a")";
std::string listing(const std::string& workspace, const char* kind) {
    return "GET /api/workspaces/" + workspace + "/" + kind;
}
const Requests both = {listing("ws-4f1c2a", "folders"), listing("ws-4f1c2a", "projects")};

TEST_F(PublishOptionsDrive, PickingThePublishActionEmptiesTheCaches) {
    logInDirectly();
    const Json full = Json::parse(personal + R"(, "folder-list-item": "fld-31a8e2"})");
    const Requests all = {topListings[0], topListings[1], both[0], both[1]};
    options(full);
    EXPECT_EQ(takeRequests(), all);
    call({{"call", "processingSettingsVisibilityForAction"}, {"action", otherAction}});
    options(full);
    EXPECT_EQ(takeRequests(), Requests{});
    emptyCaches();
    options(full);
    EXPECT_EQ(takeRequests(), all);
    EXPECT_EQ(options(Json::object(), otherAction), Json::array());
    const Json update = {{"call", "didUpdateActionValue"},
                         {"value", "0"},
                         {"setting", "folder-list-item"},
                         {"action", "publish"},
                         {"settings", Json::object()}};
    EXPECT_EQ(call(update)["callbackAction"], 1);
}

TEST_F(PublishOptionsDrive, ValidationRepliesWithTheFirstFailureAndTheActionsName) {
    const Json reply = call({{"call", "validateSettings"}, {"settings", Json::object()}, {"action", "publish"}});
    EXPECT_EQ(reply["error"]["failureReason"],
              "The value supplied for Not logged in is not valid for performing Publish to galvoria.");
}

}  // namespace
}  // namespace galvoria::testing
