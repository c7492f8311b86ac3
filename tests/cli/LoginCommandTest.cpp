// login, logout, status and destinations through the real binary: the password from standard input
// (at a terminal, without echo: the interrupt tests), the plugin's refusals, a login kept until it is given up on
// purpose, what is left in the store, and a failed listing told as a failure.

#include "tests/cli/CliFixture.hpp"

namespace galvoria::testing {
namespace {

using LoginTest = CliTest;

// A refused login shows the plugin's text and leaves the typed password nowhere; a login is kept until
// it is given up on purpose (a script says so with --force, a person answers yes); a logout takes
// with it a password an earlier, cut-short login left behind, and the destinations go with the login.
TEST_F(LoginTest, RefusedThenLoggedInKeptUntilForcedAndLoggedOut) {
    const std::string wrong = "not-the-Pa55word";
    const auto refused = host({"login", "--verbose", "--email", demoEmail, "--password-stdin"}, wrong + "\n");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.standardOutput, "");
    EXPECT_NE(refused.standardError.find("galvoria-host: Login Failed\n  Please try again.\n"), std::string::npos)
        << refused.standardError;
    EXPECT_EQ((refused.standardOutput + refused.standardError).find(wrong), std::string::npos);
    EXPECT_EQ(store().stringForKey("password-item").value_or(""), "");
    EXPECT_FALSE(store().stringForKey("api-token").has_value());

    const std::string password = std::string(demoPassword) + "\n";
    const auto login = host({"login", "--email", demoEmail, "--password-stdin"}, password);
    EXPECT_EQ(login.status, 0) << login.standardError;
    EXPECT_EQ(login.standardOutput, "Logged in as demo@galvoria.test\n");
    EXPECT_EQ((login.standardOutput + login.standardError).find(demoPassword), std::string::npos);
    const std::string token = store().stringForKey("api-token").value_or("");
    EXPECT_FALSE(token.empty());
    EXPECT_EQ(store().stringForKey("password-item").value_or("?"), "");

    const auto status = host({"status"});
    EXPECT_EQ(status.status, 0);
    EXPECT_EQ(status.standardOutput, "Logged in as demo@galvoria.test\nService: " + std::string(GALVORIA_SERVICE_URL) +
                                         "\nStore:   " + prefs().string() + "\n");
    EXPECT_EQ(co::Value::parse(host({"status", "--json"}).standardOutput), co::Value({{"loggedIn", true},
                                                                                      {"account", demoEmail},
                                                                                      {"service", GALVORIA_SERVICE_URL},
                                                                                      {"store", prefs().string()}}));

    const auto again = host({"login", "--email", demoEmail, "--password-stdin"}, password);
    EXPECT_EQ(again.status, 1);
    EXPECT_EQ(again.standardOutput, "");
    EXPECT_NE(again.standardError.find("already logged in as demo@galvoria.test; give --force"), std::string::npos)
        << again.standardError;
    TerminalProcess declined(hostArguments({"login", "--email", demoEmail}));
    ASSERT_TRUE(declined.waitFor("Log out and log in again? [y/N] ")) << declined.output();
    declined.type("n\n");
    EXPECT_EQ(declined.finish(), 1) << declined.output();
    EXPECT_NE(declined.output().find("Still logged in as demo@galvoria.test."), std::string::npos);
    EXPECT_EQ(store().stringForKey("api-token"), token);
    const auto forced = host({"login", "--email", demoEmail, "--password-stdin", "--force"}, password);
    EXPECT_EQ(forced.status, 0) << forced.standardError;
    EXPECT_EQ(forced.standardOutput, "Logging out demo@galvoria.test first.\nLogged in as demo@galvoria.test\n");
    EXPECT_NE(store().stringForKey("api-token").value_or(token), token);

    store().setValue("left-behind", "password-item");
    const auto logout = host({"logout"});
    EXPECT_EQ(logout.status, 0);
    EXPECT_EQ(logout.standardOutput, "Logged out demo@galvoria.test.\n");
    EXPECT_FALSE(store().stringForKey("api-token").has_value());
    EXPECT_EQ(store().stringForKey("password-item").value_or("?"), "");
    EXPECT_EQ(host({"logout"}).standardOutput, "Not logged in.\n");
    const auto loggedOut = host({"status", "--json"});
    EXPECT_EQ(loggedOut.status, 1);
    EXPECT_EQ(co::Value::parse(loggedOut.standardOutput)["loggedIn"], false);
    const auto noTree = host({"destinations"});
    EXPECT_EQ(noTree.status, 1);
    EXPECT_NE(noTree.standardError.find("galvoria-host login"), std::string::npos) << noTree.standardError;
}

TEST_F(LoginTest, AnUnreadableStoreIsToldAsSuchNotAsALogout) {
    std::ofstream(prefs()) << R"({"api-token": "1|abc", )";
    const auto status = host({"status"});
    EXPECT_EQ(status.status, 1);
    EXPECT_NE(status.standardOutput.find("Not logged in"), std::string::npos);
    EXPECT_NE(status.standardError.find("the preference store " + prefs().string() +
                                        " could not be read, so no login is known; it will be set aside"),
              std::string::npos)
        << status.standardError;
}

TEST_F(LoginTest, WithoutATerminalWhatCannotBeAskedForIsAUsageError) {
    for (const auto& [arguments, input, mentions] :
         std::vector<std::tuple<std::vector<std::string>, std::string, std::string>>{
             {{"login", "--email", demoEmail}, "", "--password-stdin"},
             {{"login", "--password-stdin"}, std::string(demoPassword) + "\n", "--email"},
             {{"login", "--email", demoEmail, "--password-stdin"}, "", "no password on standard input"},
             {{"login", "--email", demoEmail, "--password", demoPassword}, "", "--password"}}) {
        const auto result = host(arguments, input);
        EXPECT_EQ(result.status, 2) << mentions;
        EXPECT_NE(result.standardError.find(mentions), std::string::npos) << result.standardError;
        EXPECT_EQ(result.standardOutput, "");
    }
    EXPECT_FALSE(store().stringForKey("api-token").has_value());
}

// While logged in, a listing that fails is told with the plugin's reason and exit status 1, never
// shown as an account that lists nothing. The plugin's reasons are proven on the publish options.
TEST_F(LoginTest, WithATokenTheServiceNoLongerTakesListingsTellTheReasonAndFail) {
    const std::string reason = "Your galvoria session has expired. Log out and log in again.";
    store().setValue(demoEmail, "username-item");
    store().setValue("7|a-token-the-service-no-longer-knows", "api-token");

    const auto tree = host({"destinations"});
    EXPECT_EQ(tree.standardOutput, "");
    EXPECT_EQ(tree.standardError, "galvoria-host: " + reason + "\n");
    const auto status = host({"status"});
    EXPECT_NE(status.standardOutput.find("Logged in as demo@galvoria.test\n"), std::string::npos);
    EXPECT_EQ(status.standardError, "galvoria-host: " + reason + "\n");
    const auto publish =
        host({"publish", photo("a.jpg"), "--workspace", "Personal", "--folder", "x", "--project", "y"});
    EXPECT_NE(publish.standardError.find(reason), std::string::npos) << publish.standardError;
    const auto treeJson = host({"destinations", "--json"});
    EXPECT_EQ(co::Value::parse(treeJson.standardOutput)["error"]["description"], reason);
    const auto statusJson = host({"status", "--json"});
    EXPECT_EQ(co::Value::parse(statusJson.standardOutput)["problem"], reason);
    for (const auto& each : {tree, status, publish, treeJson, statusJson}) EXPECT_EQ(each.status, 1);
}

TEST_F(LoginTest, EachCommandsHelpShowsItsOwnOptionsFirstAndItsOwnExamples) {
    const auto help = host({"status", "--help"}).standardOutput;
    EXPECT_NE(help.find("--bundle DIR"), std::string::npos) << help;
    EXPECT_LT(help.find("--json"), help.find("--bundle DIR")) << help;
    EXPECT_NE(help.find("--prefs FILE"), std::string::npos) << help;
    EXPECT_EQ(help.find("galvoria-host publish"), std::string::npos) << "another command's examples:\n" << help;

    const auto overview = host({"--help"}).standardOutput;
    EXPECT_GT(overview.find("\n  drive "), overview.find("\n  publish ")) << overview;
}

}  // namespace
}  // namespace galvoria::testing
