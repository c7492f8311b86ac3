// login, logout and status through the real binary: the password from standard input and from a
// terminal without echo, the plugin's refusals, and what is left in the store.

#include "tests/cli/CliFixture.hpp"

namespace galvoria::testing {
namespace {

void expectNoPassword(const ProcessResult& result, const std::string& password) {
    EXPECT_EQ(result.standardOutput.find(password), std::string::npos) << "the password reached standard output";
    EXPECT_EQ(result.standardError.find(password), std::string::npos) << "the password reached standard error";
}

using LoginTest = CliTest;

TEST_F(LoginTest, PasswordFromStandardInputLogsInAndStatusTellsWhoWhereAndWhichStore) {
    const auto login = host({"login", "--email", demoEmail, "--password-stdin"}, std::string(demoPassword) + "\n");
    EXPECT_EQ(login.status, 0) << login.standardError;
    EXPECT_EQ(login.standardOutput, "Logged in as demo@galvoria.test\n");
    expectNoPassword(login, demoPassword);
    EXPECT_FALSE(store().stringForKey("api-token").value_or("").empty());
    EXPECT_EQ(store().stringForKey("password-item").value_or("?"), "");

    const auto status = host({"status"});
    EXPECT_EQ(status.status, 0);
    EXPECT_EQ(status.standardOutput, "Logged in as demo@galvoria.test\nService: " + std::string(GALVORIA_SERVICE_URL) +
                                         "\nStore:   " + prefs().string() + "\n");

    const auto json = co::Value::parse(host({"status", "--json"}).standardOutput);
    EXPECT_EQ(json, co::Value({{"loggedIn", true},
                               {"account", demoEmail},
                               {"service", GALVORIA_SERVICE_URL},
                               {"store", prefs().string()}}));

    const auto logout = host({"logout"});
    EXPECT_EQ(logout.status, 0);
    EXPECT_EQ(logout.standardOutput, "Logged out demo@galvoria.test.\n");
    EXPECT_FALSE(store().stringForKey("api-token").has_value());
    EXPECT_EQ(host({"logout"}).standardOutput, "Not logged in.\n");
    EXPECT_EQ(co::Value::parse(host({"status", "--json"}).standardOutput)["loggedIn"], false);
}

TEST_F(LoginTest, LoggingInAgainGivesUpThePresentLoginFirst) {
    logInDirectly();
    const std::string oldToken = *store().stringForKey("api-token");
    const auto login = host({"login", "--email", demoEmail, "--password-stdin"}, std::string(demoPassword) + "\n");
    EXPECT_EQ(login.status, 0) << login.standardError;
    EXPECT_EQ(login.standardOutput, "Logging out demo@galvoria.test first.\nLogged in as demo@galvoria.test\n");
    EXPECT_NE(store().stringForKey("api-token").value_or(oldToken), oldToken);
}

struct RefusedLogin {
    std::string name;
    std::string email;
    std::string password;
    std::string description;
    std::string reason;
};
// Test names and failure texts show the case, not its bytes.
void PrintTo(const RefusedLogin& c, std::ostream* out) { *out << c.name; }

class LoginRefusal : public CliTest, public ::testing::WithParamInterface<RefusedLogin> {};

// The plugin's error text and reason reach the person; the password typed for this command does
// not stay behind in the store, in the output or in the log.
TEST_P(LoginRefusal, ShowsThePluginsTextAndLeavesNoPasswordBehind) {
    const auto& c = GetParam();
    const auto result = host({"login", "--verbose", "--email", c.email, "--password-stdin"}, c.password + "\n");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.standardOutput, "");
    EXPECT_NE(result.standardError.find("galvoria-host: " + c.description + "\n  " + c.reason + "\n"),
              std::string::npos)
        << result.standardError;
    if (!c.password.empty()) expectNoPassword(result, c.password);
    EXPECT_EQ(store().stringForKey("password-item").value_or(""), "");
    EXPECT_FALSE(store().stringForKey("api-token").has_value());
}

// The other refusals of the account panel are proven on the panel itself.
INSTANTIATE_TEST_SUITE_P(Cases, LoginRefusal,
                         ::testing::Values(RefusedLogin{"WrongPassword", demoEmail, "not-the-Pa55word", "Login Failed",
                                                        "Please try again."},
                                           RefusedLogin{"EmptyEmail", "", "s3cret-w0rd", "Invalid value for Email.",
                                                        "The value you provided for Email is not acceptable."}),
                         [](const auto& info) { return info.param.name; });

TEST_F(LoginTest, WithoutATerminalWhatCannotBeAskedForIsAUsageError) {
    const auto expectUsageError = [&](const std::vector<std::string>& arguments, const std::string& input,
                                      const std::string& mentions) {
        const auto result = host(arguments, input);
        EXPECT_EQ(result.status, 2) << mentions;
        EXPECT_NE(result.standardError.find(mentions), std::string::npos) << result.standardError;
        EXPECT_EQ(result.standardOutput, "");
    };
    expectUsageError({"login", "--email", demoEmail}, "", "--password-stdin");
    expectUsageError({"login", "--password-stdin"}, std::string(demoPassword) + "\n", "--email");
    expectUsageError({"login", "--email", demoEmail, "--password-stdin"}, "", "no password on standard input");
    expectUsageError({"login", "--email", demoEmail, "--password", demoPassword}, "", "--password");
    EXPECT_FALSE(store().stringForKey("api-token").has_value());
}

TEST_F(LoginTest, AtATerminalTheEmailIsAskedForAndThePasswordIsTypedWithoutEcho) {
    TerminalProcess login(hostArguments({"login"}));
    ASSERT_TRUE(login.waitFor("Email: ")) << login.output();
    login.type(std::string(demoEmail) + "\n");
    ASSERT_TRUE(login.waitFor("Password: ")) << login.output();
    EXPECT_FALSE(login.echoes());
    login.type(std::string(demoPassword) + "\n");
    EXPECT_EQ(login.finish(), 0) << login.output();
    EXPECT_NE(login.output().find("Logged in as demo@galvoria.test"), std::string::npos) << login.output();
    EXPECT_EQ(login.output().find(demoPassword), std::string::npos) << "the password was echoed";
    EXPECT_TRUE(login.echoes()) << "echo was not switched back on";
}

}  // namespace
}  // namespace galvoria::testing
