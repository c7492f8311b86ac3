// The preference store file: atomic, private, shared safely between processes, never losing a
// file it cannot read, and never held up or misled by what stands at its path.

#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <functional>

#include <gtest/gtest.h>

#include "platform/FileWrite.hpp"
#include "platform/PreferenceStore.hpp"
#include "tests/support/TestSupport.hpp"

namespace fs = std::filesystem;
using galvoria::testing::readFile;
using galvoria::testing::sanitizedBuild;
using galvoria::testing::TempDir;
using platform::PreferenceStore;

namespace {

mode_t modeOf(const fs::path& file) {
    struct stat info {};
    EXPECT_EQ(::lstat(file.c_str(), &info), 0) << file;
    return info.st_mode & 0777;
}

std::vector<fs::path> filesIn(const fs::path& folder) {
    std::vector<fs::path> out;
    for (const auto& entry : fs::directory_iterator(folder)) out.push_back(entry.path().filename());
    std::sort(out.begin(), out.end());
    return out;
}

// A store whose token is padded to make the file exactly `bytes` long.
std::string storeOfBytes(std::size_t bytes) {
    const std::string frame = R"({"api-token": ""})";
    return R"({"api-token": ")" + std::string(bytes - frame.size(), 'x') + "\"}";
}

// Reads go to the file each time: a second store object sees every change at once. An absent key
// differs from an empty text, and a removal takes one key.
TEST(PreferenceStore, FileIsPrivateInAPrivateFolderAndReplacedWhole) {
    TempDir dir;
    const fs::path file = dir.path() / "nested" / "galvoria" / "preferences.json";
    PreferenceStore store(file);
    const PreferenceStore reader(file);
    const std::string text = "value with \"quotes\" and é";
    EXPECT_FALSE(reader.stringForKey("api-token").has_value());
    store.setValue("", "api-token");
    store.setValue(text, "username-item");
    EXPECT_EQ(reader.stringForKey("api-token"), "");
    store.removeObjectForKey("api-token");
    EXPECT_FALSE(reader.stringForKey("api-token").has_value());
    EXPECT_EQ(reader.stringForKey("username-item"), text);
    // The file holds the plugin's keys and nothing else, in the form every earlier version wrote.
    EXPECT_EQ(readFile(file), "{\n  \"username-item\": \"value with \\\"quotes\\\" and é\"\n}\n");
    EXPECT_EQ((std::array{modeOf(file), modeOf(file.parent_path()), modeOf(file.parent_path().parent_path())}),
              (std::array<mode_t, 3>{0600, 0700, 0700}));
    // No temporary file beyond the fixed one is ever left; after a clean write there is none.
    EXPECT_EQ(filesIn(file.parent_path()), (std::vector<fs::path>{"preferences.json", "preferences.json.lock"}));
    // A file of exactly the cap is read.
    std::ofstream(file) << storeOfBytes(PreferenceStore::maximumFileBytes);
    EXPECT_EQ(reader.stringForKey("api-token")->size(), PreferenceStore::maximumFileBytes - 17);
}

// Which texts are no store at all is proven on the text itself (the preference file's fuzz seeds, FuzzInputs).
TEST(PreferenceStore, UnreadableFileReadsEmptyAndIsMovedAsideAtTheNextWrite) {
    TempDir dir;
    const fs::path file = dir.path() / "preferences.json";
    const std::string corrupt = R"({"api-token": 5})";
    std::ofstream(file) << corrupt;
    PreferenceStore store(file);
    EXPECT_TRUE(store.dictionary().empty());
    store.setValue("tok", "api-token");
    EXPECT_EQ(store.dictionary(), (std::map<std::string, std::string>{{"api-token", "tok"}}));
    // The unreadable file is kept under a timestamped name with its content intact.
    const auto names = filesIn(dir.path());
    ASSERT_EQ(names.size(), 3U);  // the store, its lock, the file set aside
    EXPECT_TRUE(names[1].string().starts_with("preferences.json.corrupt-")) << names[1];
    EXPECT_EQ(readFile(dir.path() / names[1]), corrupt);
    EXPECT_EQ(modeOf(file), 0600U);
}

TEST(PreferenceStore, APlantedLinkAtTheTemporaryPathIsNotFollowed) {
    TempDir dir;
    const fs::path file = dir.path() / "preferences.json";
    const fs::path victim = dir.path() / "victim.txt";
    std::ofstream(victim) << "keep me";
    fs::create_symlink(victim, dir.path() / "preferences.json.tmp");
    PreferenceStore store(file);
    store.setValue("tok", "api-token");
    EXPECT_EQ(readFile(victim), "keep me");
    EXPECT_EQ(store.stringForKey("api-token"), "tok");
    EXPECT_FALSE(fs::is_symlink(file));
}

// What a folder holds: each entry's kind and content (a link's target). A lock file the store
// created, empty, is left out.
std::map<std::string, std::string> snapshot(const fs::path& folder) {
    std::map<std::string, std::string> out;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        const auto status = entry.symlink_status();
        const bool file = fs::is_regular_file(status);
        if (file && name.ends_with(".lock") && fs::file_size(entry.path()) == 0) continue;
        out[name] = fs::is_symlink(status) ? "link to " + fs::read_symlink(entry.path()).string()
                    : file                 ? "file " + readFile(entry.path())
                                           : "other " + std::to_string(static_cast<int>(status.type()));
    }
    return out;
}

// Runs `body` in a child process and returns what it reported; a text starting with "child " when
// it did not end normally. A store that waits on a FIFO or reads a device for ever is ended by the
// alarm.
std::string inChild(const std::function<std::string()>& body) {
    int ends[2];
    if (::pipe(ends) != 0) return "child not started";
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ends[0]);
        ::alarm(20);
        platform::writeAll(ends[1], body());
        ::_exit(0);
    }
    ::close(ends[1]);
    const std::string report = platform::readToEnd(ends[0]);
    ::close(ends[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "child ended with status " + std::to_string(status);
    return report;
}

// Root passes every permission check, so the permission rows run the child as "nobody", and the
// folder above the store's lets it through. Run unprivileged, the tests run as themselves.
constexpr uid_t nobody = 65534;
bool asRoot() { return ::geteuid() == 0; }
void letNobodyThrough(const fs::path& folder) {
    fs::permissions(folder.parent_path(), fs::perms::owner_all | fs::perms::others_exec);
}
void becomeNobody() {
    if (asRoot() && (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0)) ::_exit(3);
}

// Takes every descriptor but one: one for the lock file, none for the store.
void leaveOneDescriptor() {
    const rlimit few{64, 64};
    ::setrlimit(RLIMIT_NOFILE, &few);
    int last = -1;
    for (int fd = 0; fd >= 0; fd = ::dup(STDERR_FILENO)) last = fd;
    ::close(last);
}

struct HostilePath {
    std::string name;
    bool oldStore;         // a readable store of mode 0600, as the store writes it, is there first
    std::string reads;     // the token the store reads after the failed write
    std::string mentions;  // in the failed write's problem
    std::function<void(const fs::path& file)> prepare;  // puts the hostile thing in place
    std::function<void()> limit = {};                   // applied in the child process before it uses the store
    std::string store = "preferences.json";             // in the test's folder, private and empty at first
};
void PrintTo(const HostilePath& c, std::ostream* out) { *out << c.name; }

// A link at the lock file and a write cut short by the file-size limit: StoreInTheHost
// LinkAtTheLockFile and FileSizeLimitOfZero.
std::vector<HostilePath> hostilePaths() {
    const auto notRegular = "is not a regular file";
    const std::string big = storeOfBytes(PreferenceStore::maximumFileBytes + 1);
    const auto fileAbove = [](const fs::path& file) { std::ofstream(file.parent_path()) << "not a folder"; };
    const auto folderMode = [](fs::perms perms) {
        return [perms](const fs::path& file) { fs::permissions(file.parent_path(), perms); };
    };
    return {
        {"Fifo", false, "", notRegular, [](auto& file) { ::mkfifo(file.c_str(), 0600); }},
        {"Folder", false, "", notRegular, [](auto& file) { fs::create_directory(file); }},
        {"LargerThanTheCap", false, "", "is larger than 1048576 bytes",
         [=](auto& file) { std::ofstream(file) << big; }},
        {"PathThroughAFile", false, "", "plain is not a folder", fileAbove, {}, "plain/preferences.json"},
        {"FolderWritableByItsGroup", true, "", "is writable by others (mode 0770)",
         folderMode(fs::perms::owner_all | fs::perms::group_all)},
        // A file of another user's in the user's own folder (left by a command run as root).
        {"FileThatCannotBeOpened", true, "", "preferences.json: Permission denied",
         [](auto& file) {
             if (!asRoot()) return fs::permissions(file, fs::perms::none);
             letNobodyThrough(file.parent_path());
             EXPECT_EQ(::chown(file.parent_path().c_str(), nobody, nobody), 0);
         },
         becomeNobody},
        // The store and its lock are readable and writable, the folder is not.
        {"ReadOnlyFolder", true, "old", "preferences.json.tmp: Permission denied",
         [](auto& file) {
             const auto folder = file.parent_path();
             std::ofstream(file.string() + ".lock").flush();
             if (!asRoot()) return fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
             letNobodyThrough(folder);
             const auto add = fs::perm_options::add;
             fs::permissions(folder, fs::perms::others_read | fs::perms::others_exec, add);
             fs::permissions(file, fs::perms::others_read, add);
             fs::permissions(file.string() + ".lock", fs::perms::others_read | fs::perms::others_write, add);
         },
         becomeNobody},
        {"NoDescriptorLeftToReadWith", true, "old", "Too many open files", {}, leaveOneDescriptor},
    };
}

class HostileStorePath : public ::testing::TestWithParam<HostilePath> {};

// Nothing that stands at the path, nor a refused or failing write, holds the store up, is read as
// values, is renamed aside or written over; the write reports why it failed.
TEST_P(HostileStorePath, ReadsAsEmptyOrAsBeforeAndAWriteFailsLeavingEverythingInPlace) {
    const auto& c = GetParam();
    if (sanitizedBuild && c.name == std::string("NoDescriptorLeftToReadWith"))
        GTEST_SKIP() << "the sanitizer's own checks need descriptors this row takes away";
    TempDir dir;
    const fs::path folder = dir.path() / "store";
    fs::create_directory(folder);
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
    const fs::path file = folder / c.store;
    if (c.oldStore) {
        std::ofstream(file) << R"({"api-token": "old"})";
        fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    }
    if (c.prepare) c.prepare(file);
    const auto before = snapshot(folder);

    const std::string report = inChild([&] {
        if (c.limit) c.limit();
        PreferenceStore store(file);
        store.setValue("new", "api-token");
        return store.lastWriteProblem().value_or("no problem") + "\n" + store.stringForKey("api-token").value_or("");
    });
    const auto lineEnd = report.find('\n');
    ASSERT_NE(lineEnd, std::string::npos) << report;
    const std::string problem = report.substr(0, lineEnd);
    EXPECT_NE(problem.find(c.mentions), std::string::npos) << problem;
    EXPECT_EQ(report.substr(lineEnd + 1), c.reads) << problem;
    EXPECT_EQ(snapshot(folder), before);
    fs::permissions(folder, fs::perms::owner_all);  // so that the folder can be removed
}

INSTANTIATE_TEST_SUITE_P(Cases, HostileStorePath, ::testing::ValuesIn(hostilePaths()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
