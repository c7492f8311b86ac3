// Any bytes as the preference store's file: the store reads exactly the JSON objects of strings,
// writes back what it read unchanged, and at its next write moves any other file aside intact
// instead of losing it.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "fuzz/FuzzChecks.hpp"
#include "platform/PreferenceStore.hpp"

namespace galvoria::fuzz {
namespace {

namespace fs = std::filesystem;
using Values = std::map<std::string, std::string>;

// The JSON objects of strings, read with the JSON library alone. Every member's value must be a
// string, an earlier one of a member named twice too: the library's object keeps only the last
// value, so its members alone would let {"a":1,"a":"x"} pass.
std::optional<Values> expectedValues(std::string_view input) {
    bool everyMemberAString = true;
    const auto memberValues = [&everyMemberAString](int depth, nlohmann::json::parse_event_t event,
                                                    nlohmann::json& parsed) {
        using Event = nlohmann::json::parse_event_t;
        const bool memberValueEnds = event == Event::value || event == Event::object_end || event == Event::array_end;
        if (depth == 1 && memberValueEnds && !parsed.is_string()) {
            everyMemberAString = false;
        }
        return true;
    };
    const auto json = nlohmann::json::parse(input, memberValues, false);
    if (json.is_discarded() || !json.is_object() || !everyMemberAString) {
        return std::nullopt;
    }
    Values values;
    for (const auto& [key, value] : json.items()) {
        if (!value.is_string()) {
            return std::nullopt;
        }
        values[key] = value.get<std::string>();
    }
    return values;
}

// A folder of this process's own, in memory where the system has one (the store syncs each write),
// removed when the process ends.
struct ScratchFolder {
    fs::path path;
    ScratchFolder()
        : path((fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path()) /
               ("galvoria-fuzz-" + std::to_string(::getpid()))) {}
    ~ScratchFolder() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
};

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The store file read and then written once, as a host would.
Finding checkStoreFile(std::string_view input, const std::optional<Values>& expected) {
    static const ScratchFolder scratch;
    const fs::path& folder = scratch.path;
    fs::remove_all(folder);
    fs::create_directories(folder);
    // Private whatever the umask: the store refuses a folder others may write in.
    fs::permissions(folder, fs::perms::owner_all, fs::perm_options::replace);
    const fs::path file = folder / "preferences.json";
    std::ofstream(file, std::ios::binary).write(input.data(), static_cast<std::streamsize>(input.size()));

    platform::PreferenceStore store(file);
    if (store.dictionary() != expected.value_or(Values{})) {
        return "the store read other values than its file holds";
    }
    store.setValue("written", "fuzz-key");
    Values after = expected.value_or(Values{});
    after["fuzz-key"] = "written";
    if (store.dictionary() != after) {
        return "a write lost or changed a value it did not touch";
    }
    std::size_t setAside = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("preferences.json.corrupt-", 0) == 0) {
            ++setAside;
            if (readFile(entry.path()) != input) {
                return "the unreadable store was not set aside intact";
            }
        }
    }
    if (setAside != (expected ? 0U : 1U)) {
        return expected ? "a readable store was set aside" : "an unreadable store was not set aside";
    }
    return std::nullopt;
}

}  // namespace

Finding checkPreferenceFile(std::string_view input) {
    try {
        const auto expected = expectedValues(input);
        const auto values = platform::parsePreferences(input);
        if (values != expected) {
            return values ? "text that is not a JSON object of strings was read as a store"
                          : "a JSON object of strings was not read as a store";
        }
        if (values && platform::parsePreferences(platform::serializePreferences(*values)) != values) {
            return "the values written back read differently";
        }
        return checkStoreFile(input, expected);
    } catch (const std::exception& error) {
        return std::string("reading the store threw: ") + error.what();
    }
}

}  // namespace galvoria::fuzz
