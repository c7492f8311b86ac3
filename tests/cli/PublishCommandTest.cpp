// publish and destinations through the real binary: destinations by name and by identifier,
// ambiguous and unknown names, the plugin's refusals, partial and failed publishes, menus at a
// terminal and output for scripts.

#include <regex>

#include "tests/cli/CliFixture.hpp"

namespace galvoria::testing {
namespace {

struct Destination {
    std::string name;
    std::vector<std::string> flags;
    std::string project;  // the project's name on the service
};
// Test names and failure texts show the case, not its bytes.
void PrintTo(const Destination& c, std::ostream* out) { *out << c.name; }

class PublishTo : public CliTest, public ::testing::WithParamInterface<Destination> {};

TEST_P(PublishTo, SendsEveryFileInOrderAndLinksTheProjectsLibrary) {
    logInDirectly();
    std::vector<std::string> arguments = {"publish", photo("IMG_2.jpg", 20000), photo("IMG_1.jpg", 3000),
                                          photo("é 100%.tif", 5000)};
    arguments.insert(arguments.end(), GetParam().flags.begin(), GetParam().flags.end());
    const auto result = host(arguments);
    ASSERT_EQ(result.status, 0) << result.standardError;

    const auto projects = projectIdsNamed(GetParam().project);
    ASSERT_EQ(projects.size(), 1U);
    EXPECT_EQ(filesOf(projects[0]), (std::vector<std::string>{"IMG_2.jpg", "IMG_1.jpg", "é 100%.tif"}));
    const std::string& out = result.standardOutput;
    EXPECT_NE(out.find("Publishing IMG_2.jpg (1 of 3)"), std::string::npos) << out;
    EXPECT_NE(out.find("Publishing é 100%.tif (3 of 3)"), std::string::npos) << out;
    EXPECT_TRUE(out.ends_with("Publishing completed!\nLibrary: " + libraryLink(projects[0]) + "\n")) << out;
}

INSTANTIATE_TEST_SUITE_P(
    Destinations, PublishTo,
    ::testing::Values(Destination{"Names",
                                  {"--workspace", "Weddings 2024", "--folder", "Ceremony", "--project", "Anna & Mark"},
                                  "Anna & Mark"},
                      Destination{"Identifiers",
                                  {"--workspace", "ws-9b3e77", "--folder", "fld-a4f630", "--project", "prj-5e1b47"},
                                  "Anna & Mark"},
                      // "Cafe" with a combining accent on the service, typed composed and in other cases here.
                      Destination{
                          "NamesRegardlessOfCaseAndAccentForm",
                          {"--workspace", "PERSONAL", "--folder", "caf\u00e9", "--project", "espresso s\u00e9rie"},
                          "Espresso Série"},
                      Destination{"TeamSource",
                                  {"--source", "Studio Lumière", "--workspace", "Lumière Productions", "--folder",
                                   "Campaigns", "--project", "Spring Lookbook"},
                                  "Spring Lookbook"},
                      Destination{"NewFolderAndProject",
                                  {"--workspace", "Personal", "--new-folder", "Trips", "--new-project", "Lisbon"},
                                  "Lisbon"},
                      Destination{"NewProjectInAFolder",
                                  {"--workspace", "Personal", "--folder", "Portraits 📷", "--new-project", "Headshots"},
                                  "Headshots"}),
    [](const auto& info) { return info.param.name; });

struct Refusal {
    std::string name;
    std::vector<std::string> flags;
    int status;
    std::vector<std::string> mentions;  // in standard error
};
// Test names and failure texts show the case, not its bytes.
void PrintTo(const Refusal& c, std::ostream* out) { *out << c.name; }

class PublishRefusal : public CliTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(PublishRefusal, NothingIsSentAndTheReasonIsShown) {
    logInDirectly();
    std::vector<std::string> arguments = {"publish", photo("a.jpg")};
    arguments.insert(arguments.end(), GetParam().flags.begin(), GetParam().flags.end());
    const auto result = host(arguments);
    EXPECT_EQ(result.status, GetParam().status) << result.standardError;
    for (const auto& text : GetParam().mentions) {
        EXPECT_NE(result.standardError.find(text), std::string::npos) << text << " not in:\n" << result.standardError;
    }
    EXPECT_EQ(storedFileCount(), 0U);
}

const std::string noMenu = "(standard input is not a terminal, so there is no menu to choose from)";

INSTANTIATE_TEST_SUITE_P(
    Cases, PublishRefusal,
    ::testing::Values(
        Refusal{"NoFlags", {}, 2, {"missing --workspace " + noMenu}},
        Refusal{"NoFolder", {"--workspace", "Personal"}, 2, {"missing --folder or --new-folder"}},
        Refusal{"NoProject",
                {"--workspace", "Personal", "--folder", "Ceremony"},
                2,
                {"missing --project or --new-project"}},
        Refusal{"NewFolderWithoutNewProject",
                {"--workspace", "Personal", "--new-folder", "X"},
                2,
                {"missing --new-project"}},
        Refusal{"NewFolderWithAnExistingProject",
                {"--workspace", "Personal", "--new-folder", "X", "--project", "Unsorted"},
                2,
                {"a new folder has none yet"}},
        Refusal{"FolderTwice",
                {"--workspace", "Personal", "--folder", "a", "--new-folder", "b", "--new-project", "c"},
                2,
                {"--folder", "--new-folder"}},
        Refusal{"UnknownWorkspace",
                {"--workspace", "Nowhere", "--folder", "x", "--project", "y"},
                2,
                {"there is no workspace \"Nowhere\" in any account or team", "  Personal (ws-4f1c2a)\n",
                 "  Weddings 2024 (ws-9b3e77)\n"}},
        Refusal{"UnknownFolder",
                {"--workspace", "Weddings 2024", "--folder", "Party", "--project", "y"},
                2,
                {"there is no folder \"Party\" in Weddings 2024", "  Ceremony (fld-a4f630)\n",
                 "  Reception (fld-b19c58)\n"}},
        // The placeholder and the create-new entry are not destinations one can name.
        Refusal{"CreateNewValueAsAName",
                {"--workspace", "Personal", "--folder", "0", "--project", "x"},
                2,
                {"there is no folder \"0\""}},
        Refusal{"FolderOfAnotherWorkspace",
                {"--workspace", "Personal", "--folder", "fld-a4f630", "--project", "x"},
                2,
                {"there is no folder \"fld-a4f630\" in Personal"}},
        Refusal{"UnknownProject",
                {"--workspace", "Personal", "--folder", "Café", "--project", "Old Port at Dusk"},
                2,
                {"there is no project \"Old Port at Dusk\" in Cafe\u0301", "  Espresso Série (prj-4a6d95)\n"}},
        Refusal{"EmptyNewProjectName",
                {"--workspace", "Personal", "--folder", "Café", "--new-project", ""},
                1,
                {"galvoria-host: Invalid value for Project\n  The value supplied for Project is not valid for "
                 "performing Publish to galvoria.\n"}},
        Refusal{"EmptyNewFolderName",
                {"--workspace", "Personal", "--new-folder", "", "--new-project", "P"},
                1,
                {"galvoria-host: Invalid value for Folder\n"}}),
    [](const auto& info) { return info.param.name; });

TEST_F(CliTest, PublishingLoggedOutShowsThePluginsNotice) {
    const auto result = host({"publish", photo("a.jpg"), "--workspace", "Personal", "--folder", "Café", "--project",
                              "Espresso Série", "--json"});
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.standardError.find("You’re not logged in."), std::string::npos) << result.standardError;
    EXPECT_EQ(co::Value::parse(result.standardOutput)["status"], "failed");
}

TEST_F(CliTest, MissingFilesAreAUsageErrorBeforeAnythingIsAsked) {
    const auto result = host({"publish", photo("a.jpg"), (dir_.path() / "gone.jpg").string(), "--workspace", "x"});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.standardError.find("gone.jpg: no such file"), std::string::npos) << result.standardError;
    EXPECT_EQ(host({"publish", dir_.path().string(), "--workspace", "x"}).status, 2);
}

// Two folders named alike: an exact name picks its folder, a loose one that fits both is ambiguous
// and the message lists both with their identifiers.
TEST_F(CliTest, AmbiguousNamesAreRefusedWithTheCandidates) {
    logInDirectly();
    for (const std::string name : {"Twin", "twin", "Twin"}) {
        ASSERT_EQ(host({"publish", photo("a.jpg"), "--workspace", "Personal", "--new-folder", name, "--new-project",
                        "P " + name})
                      .status,
                  0);
    }
    std::vector<std::string> ids;
    const auto state = server_->state();
    for (const auto& folder : state["folders"]) {
        if (folder["name"] == "Twin" || folder["name"] == "twin") ids.push_back(folder["id"].get<std::string>());
    }
    ASSERT_EQ(ids.size(), 3U);

    auto attempt = [&](const std::string& folder) {
        return host({"publish", photo("b.jpg"), "--workspace", "Personal", "--folder", folder, "--new-project", "Q"});
    };
    auto exact = attempt("Twin");
    EXPECT_EQ(exact.status, 2);
    EXPECT_NE(exact.standardError.find("\"Twin\" names 2 folders in Personal; give the identifier of one of them:\n"
                                       "  Twin (" +
                                       ids[0] + ")\n  Twin (" + ids[2] + ")\n"),
              std::string::npos)
        << exact.standardError;
    auto loose = attempt("TWIN");
    EXPECT_EQ(loose.status, 2);
    EXPECT_NE(loose.standardError.find("\"TWIN\" names 3 folders"), std::string::npos) << loose.standardError;
    EXPECT_EQ(storedFileCount(), 3U);

    EXPECT_EQ(attempt("twin").status, 0);  // the one exact match
    EXPECT_EQ(attempt(ids[2]).status, 0);  // an identifier is never ambiguous
    EXPECT_EQ(storedFileCount(), 5U);
}

TEST_F(CliTest, AWorkspaceNameIsLookedForInEveryAccountAndTeam) {
    logInDirectly();
    const auto result = host({"publish", photo("a.jpg"), "--workspace", "Lumière Productions", "--folder", "Campaigns",
                              "--project", "Spring Lookbook", "--json"});
    ASSERT_EQ(result.status, 0) << result.standardError;
    const auto document = co::Value::parse(result.standardOutput);
    EXPECT_EQ(document["destination"]["source"], co::Value({{"id", "team-5a2c91"}, {"name", "Studio Lumière"}}));
    EXPECT_EQ(document["status"], "completed");
    EXPECT_EQ(document["url"], libraryLink("prj-7a2e69"));
    EXPECT_EQ(document["message"], "Publishing completed!");
    EXPECT_EQ(document["processed"], co::Value::array({"a.jpg"}));
    EXPECT_EQ(document["files"], 1);
}

devserver::Fault storageRefusal(std::optional<int> times) {
    devserver::Fault fault;
    fault.action = devserver::FaultAction::respond;
    fault.status = 500;
    fault.body = "<Error>refused</Error>";
    fault.contentType = "application/xml";
    fault.times = times;
    return fault;
}

TEST_F(CliTest, APartialPublishNamesTheFilesLeftOutExitsWithOneAndStillLinksTheLibrary) {
    logInDirectly();
    server_->setFault("storage", storageRefusal(1));
    const auto result = host({"publish", photo("first.jpg"), photo("second.jpg"), photo("third.jpg"), "--workspace",
                              "Weddings 2024", "--folder", "Ceremony", "--project", "Anna & Mark"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(filesOf("prj-5e1b47"), (std::vector<std::string>{"second.jpg", "third.jpg"}));
    EXPECT_NE(result.standardError.find("first.jpg"), std::string::npos) << result.standardError;
    EXPECT_EQ(result.standardError.find("second.jpg"), std::string::npos) << result.standardError;
    EXPECT_EQ(result.standardOutput.find("Publishing completed!"), std::string::npos);
    EXPECT_TRUE(result.standardOutput.ends_with("Library: " + libraryLink("prj-5e1b47") + "\n"))
        << result.standardOutput;
}

TEST_F(CliTest, AFailedPublishShowsThePluginsErrorNamingEveryFileAndExitsWithOne) {
    logInDirectly();
    server_->setFault("storage", storageRefusal(std::nullopt));
    const auto result = host({"publish", photo("first.jpg"), photo("second.jpg"), "--workspace", "Weddings 2024",
                              "--folder", "Ceremony", "--project", "Anna & Mark", "--json"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(storedFileCount(), 0U);
    const auto document = co::Value::parse(result.standardOutput);
    EXPECT_EQ(document["status"], "failed");
    const std::string reason = document["error"]["failureReason"].get<std::string>();
    EXPECT_NE(reason.find("first.jpg"), std::string::npos) << reason;
    EXPECT_NE(reason.find("second.jpg"), std::string::npos) << reason;
    EXPECT_NE(result.standardError.find(reason), std::string::npos) << result.standardError;
}

TEST_F(CliTest, DestinationsListTheTreeAUserWouldWalkThrough) {
    logInDirectly();
    const auto text = host({"destinations"});
    ASSERT_EQ(text.status, 0) << text.standardError;
    EXPECT_NE(text.standardOutput.find("Demo Photographer (acc-7d1f2c)\n"
                                       "  Personal (ws-4f1c2a)\n"
                                       "    Été à Montréal (fld-31a8e2)\n"
                                       "      Old Port at Dusk (prj-1d4e8a)\n"),
              std::string::npos)
        << text.standardOutput;

    const auto json = host({"destinations", "--json"});
    ASSERT_EQ(json.status, 0);
    const auto tree = co::Value::parse(json.standardOutput);
    EXPECT_EQ(tree["service"], GALVORIA_SERVICE_URL);
    std::vector<std::string> sources;
    for (const auto& source : tree["sources"]) sources.push_back(source["name"].get<std::string>());
    EXPECT_EQ(sources,
              (std::vector<std::string>{"Agence Nord", "Demo Photographer", "Mireille Laurent", "Studio Lumière"}));
    const auto& weddings = tree["sources"][1]["workspaces"][1];
    EXPECT_EQ(weddings["name"], "Weddings 2024");
    EXPECT_EQ(weddings["folders"],
              co::Value::parse(
                  R"([{"id":"fld-a4f630","name":"Ceremony","projects":[{"id":"prj-5e1b47","name":"Anna & Mark"}]},
                                   {"id":"fld-b19c58","name":"Reception","projects":[]}])"));

    EXPECT_EQ(host({"logout"}).status, 0);
    const auto loggedOut = host({"destinations"});
    EXPECT_EQ(loggedOut.status, 1);
    EXPECT_NE(loggedOut.standardError.find("galvoria-host login"), std::string::npos);
}

// The number a menu on the terminal shows for an entry.
std::string menuNumber(const std::string& output, const std::string& entry) {
    std::smatch match;
    const std::regex line(R"(\s(\d+)\) )" + std::regex_replace(entry, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                          "\r?\n");
    return std::regex_search(output, match, line) ? match[1].str() : "?";
}

TEST_F(CliTest, AtATerminalMenusAskForTheDestinationAndTheBarShowsProgress) {
    logInDirectly();
    TerminalProcess publish(hostArguments({"publish", photo("a.jpg", 50000), photo("b.jpg", 70000)}));
    const std::vector<std::pair<std::string, std::string>> answers = {
        {"Account or team:", "Demo Photographer"},
        {"Workspace:", "Weddings 2024"},
        {"Folder:", "+ Create New Folder"},
    };
    for (const auto& [menu, entry] : answers) {
        ASSERT_TRUE(publish.waitFor(menu)) << publish.output();
        ASSERT_TRUE(publish.waitFor("Choose ", publish.output().find(menu))) << publish.output();
        publish.type(menuNumber(publish.output(), entry) + "\n");
    }
    ASSERT_TRUE(publish.waitFor("New folder name: ")) << publish.output();
    publish.type("Menus\n");
    // A new folder has no projects yet: only the new project's name is asked for.
    ASSERT_TRUE(publish.waitFor("New project name: ")) << publish.output();
    publish.type("From a terminal\n");
    EXPECT_EQ(publish.finish(), 0) << publish.output();

    const auto projects = projectIdsNamed("From a terminal");
    ASSERT_EQ(projects.size(), 1U);
    EXPECT_EQ(filesOf(projects[0]), (std::vector<std::string>{"a.jpg", "b.jpg"}));
    const std::string& out = publish.output();
    EXPECT_NE(out.find("Demo Photographer › Weddings 2024 › new folder \"Menus\" › new project \"From a terminal\""),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("] 100%  2 of 2 files"), std::string::npos) << out;
    EXPECT_NE(out.find("Library: " + libraryLink(projects[0])), std::string::npos) << out;
}

}  // namespace
}  // namespace galvoria::testing
