// publish and destinations through the real binary: destinations by name and by identifier,
// unknown names, the plugin's refusals, partial and failed publishes, menus at a terminal and
// output for scripts. How a name picks its entry (case, accent forms, ambiguity) is proven on the
// name lookup itself; here, that the lookup's answer reaches the person.

#include <gmock/gmock-matchers.h>

#include "tests/cli/CliFixture.hpp"

namespace galvoria::testing {
namespace {

using Flags = std::vector<std::string>;
using ::testing::HasSubstr;

// The members of `expected` in the JSON document `text`, which is returned.
co::Value expectMembers(const std::string& text, const co::Value& expected) {
    const auto document = co::Value::parse(text);
    for (const auto& [key, value] : expected.items()) EXPECT_EQ(document[key], value) << key;
    return document;
}

struct Destination {
    std::string name;
    Flags flags;
    std::string project;  // the project's name on the service
    std::string folder;   // the folder it must be in, when that is the case's point
};
Destination to(std::string name, Flags flags, std::string project, std::string folder = {}) {
    return {std::move(name), std::move(flags), std::move(project), std::move(folder)};
}

// Also sent elsewhere: to an existing folder and project by their names, by the JSON document's test; to
// a new folder with a new project, by the menus at a terminal and the demo; to identifiers, by the
// terminal escape test.
TEST_F(CliTest, PublishSendsEveryFileInOrderAndLinksTheProjectsLibrary) {
    logInDirectly();
    for (const Destination& c : std::vector<Destination>{
             to("TeamSource",
                {"--source", "Studio Lumière", "--workspace", "Lumière Productions", "--folder", "Campaigns",
                 "--project", "Spring Lookbook"},
                "Spring Lookbook"),
             to("NewProjectInAFolder", {"--workspace", "Personal", "--folder", "Café", "--new-project", "Fresh"},
                "Fresh", "fld-7e2d14"),
             to("DuplicateFolderAllowed",
                {"--workspace", "Personal", "--new-folder", "Portraits 📷", "--new-project", "Twice",
                 "--allow-duplicate"},
                "Twice")}) {
        SCOPED_TRACE(c.name);
        Flags arguments = {"publish", photo("IMG_2.jpg", 20000), photo("IMG_1.jpg", 3000), photo("é 100%.tif", 5000)};
        arguments.insert(arguments.end(), c.flags.begin(), c.flags.end());
        const auto result = host(arguments);
        ASSERT_EQ(result.status, 0) << result.standardError;

        const auto projects = projectIdsNamed(c.project, c.folder);
        ASSERT_EQ(projects.size(), 1U);
        EXPECT_EQ(filesOf(projects[0]), (Flags{"IMG_2.jpg", "IMG_1.jpg", "é 100%.tif"}));
        const std::string& out = result.standardOutput;
        // One line per file with the rate, and the time left until the last.
        EXPECT_THAT(out, HasSubstr("Publishing IMG_2.jpg (1 of 3)  "));
        EXPECT_THAT(out, HasSubstr("/s, "));
        EXPECT_THAT(out, HasSubstr(" left\n"));
        const auto last = out.find("Publishing é 100%.tif (3 of 3)  ");
        ASSERT_NE(last, std::string::npos) << out;
        EXPECT_EQ(out.substr(last, out.find('\n', last) - last).find("left"), std::string::npos) << out;
        EXPECT_TRUE(out.ends_with("Publishing completed!\nLibrary: " + libraryLink(projects[0]) + "\n")) << out;
    }
}

struct Refusal {
    std::string name;
    Flags flags;
    int status;
    Flags mentions;  // in standard error
};
Refusal refused(std::string name, Flags flags, int status, Flags mentions) {
    return {std::move(name), std::move(flags), status, std::move(mentions)};
}

// Flags that name no workspace follow "--workspace Personal", unless there are none at all. Files that
// cannot be sent are refused before anything is asked.
TEST_F(CliTest, RefusedPublishesSendNothingAndShowTheReason) {
    const Flags toEspresso = {"--workspace", "Personal", "--folder", "Café", "--project", "Espresso Série"};
    Flags arguments = {"publish", photo("a.jpg"), "--json"};
    arguments.insert(arguments.end(), toEspresso.begin(), toEspresso.end());
    const auto loggedOut = host(arguments);
    EXPECT_EQ(loggedOut.status, 1);
    EXPECT_THAT(loggedOut.standardError, HasSubstr("You’re not logged in."));
    EXPECT_EQ(co::Value::parse(loggedOut.standardOutput)["status"], "failed");

    logInDirectly();
    const auto seeded = server_->state();
    for (const Refusal& c : std::vector<Refusal>{
             refused("NoFlags", {}, 2,
                     {"missing --workspace (standard input is not a terminal, so there is no menu to choose from)"}),
             refused("NoFolder", {"--workspace", "Personal"}, 2, {"missing --folder or --new-folder"}),
             refused("NoProject", {"--folder", "Ceremony"}, 2, {"missing --project or --new-project"}),
             refused("NewFolderWithoutNewProject", {"--new-folder", "X"}, 2, {"missing --new-project"}),
             refused("NewFolderWithAnExistingProject", {"--new-folder", "X", "--project", "Unsorted"}, 2,
                     {"a new folder has none yet"}),
             refused("FolderTwice", {"--folder", "a", "--new-folder", "b", "--new-project", "c"}, 2,
                     {"--folder", "--new-folder"}),
             refused("MissingFile", {(dir_.path() / "gone.jpg").string()}, 2, {"gone.jpg: no such file"}),
             refused("NotARegularFile", {dir_.path().string()}, 2, {": not a regular file"}),
             refused("EmptyFile", {photo("empty.jpg", 0)}, 2, {"empty.jpg: the file is empty"}),
             refused("SameFileTwice", {photo("b.jpg"), (dir_.path() / "photos/../photos/a.jpg").string()}, 2,
                     {"a.jpg twice (it is also given as "}),
             refused("UnknownWorkspace", {"--workspace", "Nowhere", "--folder", "x", "--project", "y"}, 1,
                     {"there is no workspace \"Nowhere\" in any account or team", "  Personal (ws-4f1c2a)\n",
                      "  Weddings 2024 (ws-9b3e77)\n"}),
             // The placeholder and the create-new entry are not destinations one can name.
             refused("CreateNewValueAsAName", {"--folder", "0", "--project", "x"}, 1, {"there is no folder \"0\""}),
             refused("FolderOfAnotherWorkspace", {"--folder", "fld-a4f630", "--project", "x"}, 1,
                     {"there is no folder \"fld-a4f630\" in Personal"}),
             refused("UnknownProject", {"--folder", "Café", "--project", "Old Port at Dusk"}, 1,
                     {"there is no project \"Old Port at Dusk\" in Cafe\u0301", "  Espresso Série (prj-4a6d95)\n"}),
             refused("DuplicateNewFolder", {"--new-folder", "Portraits 📷", "--new-project", "x"}, 1,
                     {"a folder \"Portraits 📷\" already exists: Portraits 📷 (", "--folder fld-",
                      "--allow-duplicate to create another"}),
             refused("DuplicateNewProject",
                     {"--workspace", "Weddings 2024", "--folder", "Ceremony", "--new-project", "Anna & Mark"}, 1,
                     {"a project \"Anna & Mark\" already exists: Anna & Mark (prj-5e1b47)", "--project prj-5e1b47"}),
             refused("EmptyNewProjectName", {"--folder", "Café", "--new-project", ""}, 1,
                     {"galvoria-host: Invalid value for Project\n  The value supplied for Project is not valid for "
                      "performing Publish to galvoria.\n"})}) {
        SCOPED_TRACE(c.name);
        arguments = {"publish", photo("a.jpg")};
        if (!c.flags.empty() && c.flags[0] != "--workspace")
            arguments.insert(arguments.end(), {"--workspace", "Personal"});
        arguments.insert(arguments.end(), c.flags.begin(), c.flags.end());
        const auto result = host(arguments);
        EXPECT_EQ(result.status, c.status) << result.standardError;
        for (const auto& text : c.mentions) EXPECT_THAT(result.standardError, HasSubstr(text));
        EXPECT_EQ(server_->state(), seeded) << "something was created or sent";
    }
}

// For scripts, one document with the destination and each file's outcome; the files the storage refuses
// are named with their reasons, for the person on standard error too. A workspace's name is looked for
// in every account and team.
TEST_F(CliTest, TheJsonDocumentTellsTheDestinationAndEachFilesOutcome) {
    logInDirectly();
    const auto completed = host({"publish", photo("a.jpg"), "--workspace", "Lumière Productions", "--folder",
                                 "Campaigns", "--project", "Spring Lookbook", "--json"});
    ASSERT_EQ(completed.status, 0) << completed.standardError;
    const auto document = expectMembers(
        completed.standardOutput, {{"status", "completed"},
                                   {"url", libraryLink("prj-7a2e69")},
                                   {"message", "Publishing completed!"},
                                   {"files", 1},
                                   {"processed", co::Value::array({"a.jpg"})},
                                   {"outcomes", co::Value::parse(R"([{"name": "a.jpg", "status": "published"}])")}});
    EXPECT_EQ(document["destination"]["source"], co::Value({{"id", "team-5a2c91"}, {"name", "Studio Lumière"}}));

    const Flags toAnnaAndMark = {"--workspace", "Weddings 2024", "--folder", "Ceremony",
                                 "--project",   "Anna & Mark",   "--json"};
    devserver::Fault refusal{
        .status = 500, .body = "<Error>refused</Error>", .contentType = "application/xml", .times = 1};
    server_->setFault("storage", refusal);
    Flags arguments = {"publish", photo("first, (1).jpg"), photo("second.jpg"), photo("third.jpg")};
    arguments.insert(arguments.end(), toAnnaAndMark.begin(), toAnnaAndMark.end());
    const auto partial = host(arguments);
    EXPECT_EQ(partial.status, 1);
    EXPECT_EQ(filesOf("prj-5e1b47"), (Flags{"second.jpg", "third.jpg"}));
    EXPECT_THAT(partial.standardError, HasSubstr("galvoria-host: Published 2 of 3 files. Not published:\n"
                                                 "  first, (1).jpg (the storage refused the upload: 500)\n"));
    const auto partialDocument = expectMembers(partial.standardOutput, co::Value::parse(R"({"status": "partial",
        "published": ["second.jpg", "third.jpg"], "notSent": [],
        "notPublished": [{"name": "first, (1).jpg", "reason": "the storage refused the upload: 500"}]})"));
    EXPECT_EQ(partialDocument["url"], libraryLink("prj-5e1b47"));
    EXPECT_EQ(partialDocument["outcomes"][0]["status"], "notPublished");
    EXPECT_EQ(partialDocument["outcomes"][2], co::Value::parse(R"({"name": "third.jpg", "status": "published"})"));

    refusal.times.reset();
    server_->setFault("storage", refusal);
    arguments = {"publish", photo("second.jpg")};
    arguments.insert(arguments.end(), toAnnaAndMark.begin(), toAnnaAndMark.end());
    const auto failed = host(arguments);
    EXPECT_EQ(failed.status, 1);
    expectMembers(failed.standardOutput, co::Value::parse(R"({"status": "failed", "published": [],
        "notPublished": [{"name": "second.jpg", "reason": "the storage refused the upload: 500"}]})"));
}

TEST_F(CliTest, DestinationsListTheTreeAUserWouldWalkThrough) {
    logInDirectly();
    const auto text = host({"destinations"});
    ASSERT_EQ(text.status, 0) << text.standardError;
    EXPECT_THAT(text.standardOutput,
                HasSubstr("Demo Photographer (acc-7d1f2c)\n  Personal (ws-4f1c2a)\n"
                          "    Été à Montréal (fld-31a8e2)\n      Old Port at Dusk (prj-1d4e8a)\n"));

    const auto json = host({"destinations", "--json"});
    ASSERT_EQ(json.status, 0);
    const auto tree = co::Value::parse(json.standardOutput);
    EXPECT_EQ(tree["service"], GALVORIA_SERVICE_URL);
    Flags sources;
    for (const auto& source : tree["sources"]) sources.push_back(source["name"].get<std::string>());
    EXPECT_EQ(sources, (Flags{"Agence Nord", "Demo Photographer", "Mireille Laurent", "Studio Lumière"}));
    const auto& weddings = tree["sources"][1]["workspaces"][1];
    EXPECT_EQ(weddings["name"], "Weddings 2024");
    EXPECT_EQ(weddings["folders"],
              co::Value::parse(
                  R"([{"id":"fld-a4f630","name":"Ceremony","projects":[{"id":"prj-5e1b47","name":"Anna & Mark"}]},
                      {"id":"fld-b19c58","name":"Reception","projects":[]}])"));
}

// The number the latest menu on the terminal shows for an entry.
std::string menuNumber(const std::string& output, const std::string& entry) {
    const auto at = output.rfind(") " + entry + "\r\n");
    const auto start = output.find_last_of(" \n", at) + 1;
    return at == std::string::npos ? "?" : output.substr(start, at - start);
}

TEST_F(CliTest, AtATerminalMenusAskForTheDestinationAndTheBarShowsProgress) {
    logInDirectly();
    TerminalProcess publish(hostArguments({"publish", photo("a.jpg", 50000), photo("b.jpg", 70000)}));
    for (const auto& [menu, entry] :
         std::vector<std::pair<std::string, std::string>>{{"Account or team:", "Demo Photographer"},
                                                          {"Workspace:", "Weddings 2024"},
                                                          {"Folder:", "+ Create New Folder"}}) {
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
    EXPECT_EQ(filesOf(projects[0]), (Flags{"a.jpg", "b.jpg"}));
    const std::string& out = publish.output();
    EXPECT_THAT(out, HasSubstr("Demo Photographer › Weddings 2024 › new folder \"Menus\" › new project \"From a "
                               "terminal\""));
    EXPECT_THAT(out, HasSubstr("] 100%  2 of 2 files"));
    EXPECT_THAT(out, HasSubstr("Library: " + libraryLink(projects[0])));
}

}  // namespace
}  // namespace galvoria::testing
