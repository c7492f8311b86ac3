// Child processes and descriptor ownership, as the test suite and the benchmarks use them.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "platform/Process.hpp"
#include "tests/support/TestSupport.hpp"

namespace platform {
namespace {

using namespace std::chrono_literals;

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(FileDescriptor, MovingHandsOverAndTheLastOwnerClosesOnce) {
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    const FileDescriptor writeEnd(ends[1]);
    std::optional<FileDescriptor> first(std::in_place, ends[0]);
    FileDescriptor second(std::move(*first));
    first.reset();  // the moved-from owner closes nothing
    EXPECT_TRUE(isOpen(ends[0]));
    const int kept = second.release();
    second.reset(kept);
    EXPECT_TRUE(second.close());
    EXPECT_FALSE(isOpen(ends[0]));
    EXPECT_TRUE(second.close());  // nothing left to close, and never the same number twice
}

TEST(Child, FilesAppendOrTruncateSignalsEndWithTheShellsStatusAndAChildLeftRunningIsReaped) {
    const galvoria::testing::TempDir folder;
    const auto log = folder.path() / "log";
    for (const bool append : {true, true, false, true}) {
        auto child = Child::spawn({.arguments = {"echo", "x"}, .output = Stream::file(log, append)});
        ASSERT_TRUE(child.has_value());
        EXPECT_EQ(child->wait().exitStatus(), 0);
    }
    EXPECT_EQ(galvoria::testing::readFile(log), "x\nx\n");

    EXPECT_FALSE(Child::spawn({.arguments = {"/nonexistent/program"}}).has_value());
    // Pipes, the environment and exit statuses serve every test that runs a program; a signal's
    // status is reported as a shell reports it.
    auto killed = Child::spawn({.arguments = {"sh", "-c", "kill -TERM $$"}});
    ASSERT_TRUE(killed.has_value());
    EXPECT_EQ(killed->wait().shellStatus(), 143);

    pid_t pid = -1;
    {
        auto sleeper = Child::spawn({.arguments = {"sleep", "30"}});
        ASSERT_TRUE(sleeper.has_value());
        pid = sleeper->pid();
        EXPECT_FALSE(sleeper->waitFor(50ms).has_value());
    }
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

}  // namespace
}  // namespace platform
