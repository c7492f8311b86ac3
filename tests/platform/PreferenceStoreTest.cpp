// The preference store file: atomic, private, shared safely between processes, never losing a
// file it cannot read.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/PreferenceStore.hpp"
#include "tests/support/TestSupport.hpp"

namespace fs = std::filesystem;
using galvoria::testing::TempDir;
using platform::PreferenceStore;

namespace {

std::string readFile(const fs::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

mode_t modeOf(const fs::path& file) {
    struct stat info {};
    EXPECT_EQ(::lstat(file.c_str(), &info), 0) << file;
    return info.st_mode & 0777;
}

std::vector<fs::path> filesIn(const fs::path& folder) {
    std::vector<fs::path> out;
    for (const auto& entry : fs::directory_iterator(folder)) {
        out.push_back(entry.path().filename());
    }
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

TEST(PreferenceStore, AbsentKeyDiffersFromEmptyStringAndRemovalTakesOneKey) {
    TempDir dir;
    PreferenceStore store(dir.path() / "preferences.json");
    EXPECT_FALSE(store.stringForKey("api-token").has_value());
    store.setValue("", "api-token");
    store.setValue("ann@example.org", "username-item");
    ASSERT_TRUE(store.stringForKey("api-token").has_value());
    EXPECT_EQ(*store.stringForKey("api-token"), "");
    store.removeObjectForKey("api-token");
    EXPECT_FALSE(store.stringForKey("api-token").has_value());
    EXPECT_EQ(store.stringForKey("username-item"), "ann@example.org");
    // The file holds the plugin's keys and nothing else.
    EXPECT_EQ(nlohmann::json::parse(readFile(store.path())), nlohmann::json({{"username-item", "ann@example.org"}}));
}

TEST(PreferenceStore, FileIsPrivateInAPrivateFolderAndReplacedWhole) {
    TempDir dir;
    const fs::path file = dir.path() / "nested" / "galvoria" / "preferences.json";
    PreferenceStore store(file);
    store.setValue("value with \"quotes\" and é", "key");
    EXPECT_EQ(modeOf(file), 0600U);
    EXPECT_EQ(modeOf(file.parent_path()), 0700U);
    EXPECT_EQ(modeOf(file.parent_path().parent_path()), 0700U);
    EXPECT_EQ(store.stringForKey("key"), "value with \"quotes\" and é");
    // No temporary file beyond the fixed one is ever left; after a clean write there is none.
    EXPECT_EQ(filesIn(file.parent_path()), (std::vector<fs::path>{"preferences.json", "preferences.json.lock"}));
}

TEST(PreferenceStore, UnreadableFileReadsEmptyAndIsMovedAsideAtTheNextWrite) {
    for (const std::string corrupt : {"{not json", "[1, 2]", R"({"api-token": 5})", ""}) {
        SCOPED_TRACE(corrupt);
        TempDir dir;
        const fs::path file = dir.path() / "preferences.json";
        std::ofstream(file) << corrupt;
        PreferenceStore store(file);
        EXPECT_FALSE(store.stringForKey("api-token").has_value());
        EXPECT_TRUE(store.dictionary().empty());
        store.setValue("tok", "api-token");
        EXPECT_EQ(store.dictionary(), (std::map<std::string, std::string>{{"api-token", "tok"}}));
        // The unreadable file is kept under a timestamped name with its content intact.
        std::vector<fs::path> aside;
        for (const auto& name : filesIn(dir.path())) {
            if (name.string().rfind("preferences.json.corrupt-", 0) == 0) {
                aside.push_back(dir.path() / name);
            }
        }
        ASSERT_EQ(aside.size(), 1U);
        EXPECT_EQ(readFile(aside.front()), corrupt);
        EXPECT_EQ(modeOf(file), 0600U);
    }
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

TEST(PreferenceStore, TwoProcessesWritingDifferentKeysLoseNothing) {
    TempDir dir;
    const fs::path file = dir.path() / "preferences.json";
    constexpr int keysPerWriter = 150;
    std::vector<pid_t> writers;
    for (int writer = 0; writer < 2; ++writer) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            PreferenceStore store(file);
            for (int i = 0; i < keysPerWriter; ++i) {
                store.setValue(std::to_string(i), "w" + std::to_string(writer) + "-" + std::to_string(i));
            }
            ::_exit(0);
        }
        writers.push_back(pid);
    }
    for (const pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto values = PreferenceStore(file).dictionary();
    EXPECT_EQ(values.size(), 2U * keysPerWriter);
    EXPECT_EQ(values.at("w0-149"), "149");
    EXPECT_EQ(values.at("w1-0"), "0");
}

TEST(PreferenceStore, ReadsSeeWhatAnotherStoreObjectWrote) {
    TempDir dir;
    PreferenceStore reader(dir.path() / "p.json");
    PreferenceStore writer(dir.path() / "p.json");
    writer.setValue("one", "k");
    EXPECT_EQ(reader.stringForKey("k"), "one");
    writer.setValue("two", "k");
    EXPECT_EQ(reader.stringForKey("k"), "two");
}
