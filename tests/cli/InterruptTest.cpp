// Ctrl-C during a publish at a terminal: the first one lets the file being sent finish and sends
// nothing more, with status 130. During a login the typed password leaves the store however the
// program ends, and a second Ctrl-C ends it at once (the one handler for every command). An output
// closed by its reader stops a publish the way the first Ctrl-C does.

#include <thread>

#include "tests/cli/CliFixture.hpp"

namespace galvoria::testing {
namespace {

class Interrupt : public CliTest {
protected:
    // A publish of `names` into a project it creates, each file slow to store.
    std::vector<std::string> publishing(const std::vector<std::string>& names, const std::string& project) {
        logInDirectly();
        server_->setFault("storage", {.action = devserver::FaultAction::delay, .delayMs = 1500});
        std::vector<std::string> arguments = {"publish"};
        for (const auto& name : names) arguments.push_back(photo(name));
        arguments.insert(arguments.end(),
                         {"--workspace", "Weddings 2024", "--folder", "Ceremony", "--new-project", project});
        return hostArguments(arguments);
    }
};

TEST_F(Interrupt, TheFirstCtrlCFinishesTheCurrentFileSendsNothingMoreAndTellsWhatWasSent) {
    TerminalProcess publish(
        publishing({"a.jpg", "b.jpg", "c.jpg", "d.jpg", "e.jpg", "f.jpg", "g.jpg", "h.jpg", "i.jpg"}, "Stopped"));
    // The bar moves to the second file once the first is reported; Ctrl-C comes while it is sent.
    ASSERT_TRUE(publish.waitFor("file 2 of 9")) << publish.output();
    publish.type("\x03");
    ASSERT_TRUE(publish.waitFor("Stopping after the current file")) << publish.output();
    EXPECT_EQ(publish.finish(), 130) << publish.output();

    const auto projects = projectIdsNamed("Stopped");
    ASSERT_EQ(projects.size(), 1U);
    EXPECT_EQ(filesOf(projects[0]), (std::vector<std::string>{"a.jpg", "b.jpg"}));
    // The first few files left are named; the link and the new project's identifier are given.
    EXPECT_NE(publish.output().find("Interrupted after 2 of 9 files: a.jpg, b.jpg. "
                                    "Not sent: c.jpg, d.jpg, e.jpg, f.jpg, g.jpg and 2 more.\r\n"
                                    "Library: " +
                                    libraryLink(projects[0]) + "\r\nProject: " + projects[0] + "\r\n"),
              std::string::npos)
        << publish.output();
    EXPECT_EQ(publish.output().find("Publishing completed!"), std::string::npos);
}

// At a terminal the e-mail is asked for, then the password without echo.
TEST_F(Interrupt, CtrlCAtAPromptLeavesAtOnceWithEchoBackOn) {
    TerminalProcess login(hostArguments({"login"}));
    ASSERT_TRUE(login.waitFor("Email: ")) << login.output();
    login.type(std::string(demoEmail) + "\n");
    ASSERT_TRUE(login.waitFor("Password: ")) << login.output();
    ASSERT_FALSE(login.echoes());
    login.type("\x03");
    EXPECT_EQ(login.finish(), 130) << login.output();
    EXPECT_TRUE(login.echoes());
    EXPECT_FALSE(store().stringForKey("api-token").has_value());
}

// publish ... | head -1: the reader takes the first line and goes while the first file is sent.
TEST_F(Interrupt, AnOutputClosedByItsReaderStopsAfterTheFileBeingSent) {
    const auto errors = dir_.path() / "stderr";
    auto publish = platform::Child::spawn({.arguments = publishing({"a.jpg", "b.jpg", "c.jpg"}, "Unread"),
                                           .output = platform::Stream::pipe(),
                                           .error = platform::Stream::file(errors)});
    ASSERT_TRUE(publish);
    std::string firstLine;
    char c = 0;
    while (platform::readSome(publish->output().get(), &c, 1) == 1 && c != '\n') firstLine += c;
    // The project is made just before the first file goes.
    for (int tries = 0; tries < 1000 && projectIdsNamed("Unread").empty(); ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    publish->output().reset();
    const auto exit = publish->wait();

    EXPECT_TRUE(firstLine.starts_with("Publishing 3 files")) << firstLine;
    EXPECT_EQ(exit.exitStatus(), 1) << "ended with wait status " << exit.waitStatus;
    const auto projects = projectIdsNamed("Unread");
    ASSERT_EQ(projects.size(), 1U);
    EXPECT_EQ(filesOf(projects[0]), (std::vector<std::string>{"a.jpg"}));
    const std::string said = readFile(errors);
    EXPECT_NE(said.find("The output was closed: stopped after 1 of 3 files: a.jpg. Not sent: b.jpg, c.jpg.\n"),
              std::string::npos)
        << said;
}

// The login's answer is slow in coming; Ctrl-C is pressed once (which waits for the answer, and that
// accepts the login) or twice (which leaves at once) while it is awaited.
TEST_F(Interrupt, CtrlCDuringALoginLeavesNoPasswordInTheStore) {
    for (const int presses : {1, 2}) {
        SCOPED_TRACE(presses);
        const bool loggedIn = presses == 1;
        store().removeObjectForKey("api-token");
        server_->setFault("login", {.action = devserver::FaultAction::delay, .delayMs = loggedIn ? 1500 : 5000});
        TerminalProcess login(hostArguments({"login", "--email", demoEmail}));
        ASSERT_TRUE(login.waitFor("Password: ")) << login.output();
        login.type(std::string(demoPassword) + "\n");
        // The password is in the store from the moment the login is asked for until the answer.
        for (int i = 0; i < 200 && store().stringForKey("password-item") != demoPassword; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        ASSERT_EQ(store().stringForKey("password-item"), demoPassword);
        EXPECT_TRUE(login.echoes()) << "echo was not switched back on";
        login.type("\x03");
        ASSERT_TRUE(login.waitFor("Stopping once galvoria has answered the login")) << login.output();
        const auto pressed = std::chrono::steady_clock::now();
        if (presses == 2) login.type("\x03");
        EXPECT_EQ(login.finish(), 130) << login.output();
        if (presses == 2) {
            EXPECT_LT(std::chrono::steady_clock::now() - pressed, std::chrono::seconds(3));
        }

        EXPECT_EQ(store().stringForKey("password-item").value_or(""), "");
        EXPECT_EQ(store().stringForKey("api-token").has_value(), loggedIn);
        EXPECT_NE(login.output().find(loggedIn ? "had already accepted the login" : "Interrupted"), std::string::npos)
            << login.output();
        EXPECT_EQ(login.output().find(demoPassword), std::string::npos) << "the password was echoed";
    }
}

}  // namespace
}  // namespace galvoria::testing
