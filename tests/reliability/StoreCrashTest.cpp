// Two processes keep writing their own key of one preference store while one of them is killed
// (SIGKILL) at random moments, a thousand times. After every kill the store must still be a
// private, readable JSON object of strings holding, for each key, the last value its writer saw
// written or the one it was writing; nothing but the store, its lock and at most one temporary
// file may stand in the folder.

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <map>
#include <random>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "platform/PreferenceStore.hpp"
#include "platform/Process.hpp"
#include "tests/support/TestSupport.hpp"

namespace fs = std::filesystem;
using galvoria::testing::TempDir;

namespace {

constexpr int killsWanted = 1000;
constexpr int killsAtLeast = 200;  // fewer within the time allowed means the machine is far too slow
constexpr auto timeAllowed = std::chrono::seconds(100);

// A running store-writer, whose reports (one value per line, once the store holds it) go to a file.
struct Writer {
    Writer(const fs::path& file, fs::path reportFile, std::string name, std::uint64_t first)
        : key(std::move(name)), lastWritten(first - 1), reportFile_(std::move(reportFile)) {
        child = platform::Child::spawn({.arguments = {STORE_WRITER_BINARY, file.string(), key, std::to_string(first)},
                                        .output = platform::Stream::file(reportFile_)});
        if (!child) throw std::runtime_error("cannot start a writer");
    }
    ~Writer() { kill(); }

    // Takes in every whole line reported so far.
    void readReports() {
        const std::string text = galvoria::testing::readFile(reportFile_);
        reports = std::ranges::count(text, '\n');
        if (reports == 0) return;
        const std::string whole = text.substr(0, text.rfind('\n'));
        lastWritten = std::stoull(whole.substr(whole.rfind('\n') + 1));
    }
    // Waits until the writer has reported a write since it started; false when none came in time.
    bool waitForAWrite(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (readReports(); reports == 0 && std::chrono::steady_clock::now() < deadline; readReports())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return reports > 0;
    }
    // Kills the writer and reads every report it made.
    void kill() {
        if (!child) return;
        child->signal(SIGKILL);
        child->wait();
        child.reset();
        readReports();
    }

    const std::string key;
    std::uint64_t lastWritten;  // the last value the store held for certain: reported, or there at the start
    std::uint64_t reports = 0;
    std::optional<platform::Child> child;
    fs::path reportFile_;
};

// What the store holds now; an empty `problem` when it is sound.
struct Inspection {
    std::string problem;
    std::map<std::string, std::uint64_t> values;
};

Inspection inspect(const fs::path& file) {
    struct stat info {};
    if (::lstat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || (info.st_mode & 0777) != 0600)
        return {"the store file is missing or not a regular file of mode 0600", {}};
    const std::string text = galvoria::testing::readFile(file);
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) return {"the store does not parse as a JSON object: " + text, {}};
    Inspection out;
    for (const auto& [key, value] : json.items()) {
        if (!value.is_string()) return {"the value of " + key + " is not a string", {}};
        out.values[key] = std::stoull(value.get<std::string>());
    }
    const std::string name = file.filename().string();
    for (const auto& entry : fs::directory_iterator(file.parent_path())) {
        const std::string found = entry.path().filename().string();
        if (found != name && found != name + ".lock" && found != name + ".tmp") return {"unexpected file " + found, {}};
    }
    return out;
}

TEST(StoreCrashSafety, KillingAWriterAtRandomMomentsNeverTearsTheStoreNorLosesTheOtherWritersValue) {
    TempDir dir;
    TempDir reports;
    const fs::path file = dir.path() / "preferences.json";
    const auto spawnWriter = [&](const std::string& key, std::uint64_t first) {
        return std::make_unique<Writer>(file, reports.path() / key, key, first);
    };
    {
        platform::PreferenceStore store(file);
        store.setValue("0", "a");
        store.setValue("0", "b");
    }
    std::array<std::unique_ptr<Writer>, 2> writers = {spawnWriter("a", 1), spawnWriter("b", 1)};

    const auto seed = std::random_device{}();
    std::mt19937 random(seed);
    SCOPED_TRACE("random seed " + std::to_string(seed));
    // Half the kills come soon after the writer started, while it loads or writes for the first
    // time; the others anywhere in a run of writes that has begun (one write, synced to disk, takes a
    // few milliseconds).
    std::uniform_int_distribution<int> shortDelay(0, 3000);
    std::uniform_int_distribution<int> longDelay(0, 30000);
    std::bernoulli_distribution coin;

    const auto start = std::chrono::steady_clock::now();
    int kills = 0;
    int killedAfterAWrite = 0;
    while (kills < killsWanted && std::chrono::steady_clock::now() - start < timeAllowed) {
        const std::size_t victim = coin(random) ? 1 : 0;
        Writer& killed = *writers.at(victim);
        Writer& other = *writers.at(1 - victim);
        if (coin(random)) {
            std::this_thread::sleep_for(std::chrono::microseconds(shortDelay(random)));
        } else {
            ASSERT_TRUE(killed.waitForAWrite(std::chrono::seconds(10))) << "a writer wrote nothing for 10 s";
            std::this_thread::sleep_for(std::chrono::microseconds(longDelay(random)));
        }
        killed.kill();
        ++kills;
        other.readReports();

        const auto found = inspect(file);
        const std::string after = "after kill " + std::to_string(kills);
        ASSERT_EQ(std::pair(found.problem, found.values.size()), std::pair(std::string(), std::size_t{2})) << after;
        const auto killedValue = found.values.at(killed.key);
        ASSERT_TRUE(killedValue == killed.lastWritten || killedValue == killed.lastWritten + 1)
            << after << ": " << killed.key << " holds " << killedValue << ", its writer had written "
            << killed.lastWritten;
        ASSERT_GE(found.values.at(other.key), other.lastWritten) << after << ": the other writer's value went back";
        killedAfterAWrite += killed.reports > 0 ? 1 : 0;
        writers.at(victim) = spawnWriter(killed.key, killedValue + 1);
    }
    for (auto& writer : writers) writer->kill();
    ASSERT_EQ(inspect(file).problem, "");
    std::printf("%d kills, %d after the writer had written\n", kills, killedAfterAWrite);
    EXPECT_GE(kills, killsAtLeast);
    // Kills that all land before a writer's first write would test little.
    EXPECT_GE(killedAfterAWrite, kills / 3) << "the writers hardly wrote between the kills";
}

}  // namespace
