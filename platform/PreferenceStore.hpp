#pragma once
// The user's preference store: one flat JSON object of strings in one file.
//
// Reads see the file as it is now. Each write changes one key: under an exclusive lock on
// "<file>.lock" it re-reads the file, applies the change, writes the whole object to a temporary
// file in the same folder (mode 0600) and renames it over the store, so the file is replaced
// atomically and hosts sharing it lose neither's changes. A file that was read but is not a JSON
// object of strings reads as empty and is moved aside, never deleted, at the next write.
//
// Anything else that keeps the file from being read (it is not a regular file, is larger than
// maximumFileBytes, cannot be opened, or its folder is writable by others) also reads as empty, but
// is logged and left where it is: a write then fails rather than replace what it could not read.
// A failed write is logged and kept as lastWriteProblem(), since the callers of setValue and
// removeObjectForKey have no way to hear of it.

#include <cstddef>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The keys and values of a store file's text; no value when the text is not one JSON object whose
// members are all strings.
std::optional<std::map<std::string, std::string>> parsePreferences(std::string_view text);
// The text the store writes for `values`: one JSON object of strings, ended by a newline.
std::string serializePreferences(const std::map<std::string, std::string>& values);

class PreferenceStore {
public:
    // A store holds a few short keys (a token, an e-mail address, two identifiers): well under a
    // kilobyte. A file a thousand times larger is not one the store wrote, and reading it would only
    // cost memory and time on the caller's thread.
    static constexpr std::size_t maximumFileBytes = std::size_t{1} << 20U;

    explicit PreferenceStore(std::filesystem::path file);

    // The store every part of the plugin uses. Its file is the one the host named, else
    // defaultPath().
    static PreferenceStore& standard();
    static void setStandardPath(const std::filesystem::path& file);
    // The user's store, <config>/galvoria/preferences.json, where <config> is $XDG_CONFIG_HOME when
    // it is an absolute path, else $HOME/.config when HOME is an absolute path. None when neither
    // is: a relative folder would put the store wherever the process happens to run.
    static std::optional<std::filesystem::path> defaultPath();

    [[nodiscard]] std::optional<std::string> stringForKey(std::string_view key) const;
    void setValue(std::string_view value, std::string_view key);
    void removeObjectForKey(std::string_view key);

    // Every key and value; empty when the file is absent or unreadable.
    [[nodiscard]] std::map<std::string, std::string> dictionary() const;
    [[nodiscard]] const std::filesystem::path& path() const { return file_; }

    // Why the store's folder cannot hold it safely (it is not a folder, or others may write in it);
    // none when it is sound or does not exist yet.
    [[nodiscard]] std::optional<std::string> folderProblem() const;
    // Why the most recent failed write of this store object failed; none while every write
    // succeeded. A later successful write does not clear it: the change that failed is still lost.
    [[nodiscard]] std::optional<std::string> lastWriteProblem() const;
    // How many writes of this store object have failed so far: a caller that compares the count
    // before and after its own change learns whether that change was lost.
    [[nodiscard]] std::size_t failedWrites() const;

private:
    struct Contents;
    [[nodiscard]] Contents load() const;
    void change(std::string_view key, const std::optional<std::string_view>& value);
    [[nodiscard]] std::optional<std::string> write(std::string_view key, const std::optional<std::string_view>& value);

    std::filesystem::path file_;
    mutable std::mutex mutex_;                   // guards the problems and the count below
    mutable std::string lastLoggedReadProblem_;  // a read problem is logged once, not at every read
    std::optional<std::string> lastWriteProblem_;
    std::size_t failedWrites_ = 0;
};

}  // namespace platform
