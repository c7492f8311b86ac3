#pragma once
// The user's preference store: one flat JSON object of strings in one file.
//
// Reads see the file as it is now. Each write changes one key: under an exclusive lock on
// "<file>.lock" it re-reads the file, applies the change, writes the whole object to a temporary
// file in the same folder (mode 0600) and renames it over the store, so the file is replaced
// atomically and hosts sharing it lose neither's changes. A file that is not a JSON object of
// strings reads as empty and is moved aside, never deleted, at the next write.

#include <filesystem>
#include <map>
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
    explicit PreferenceStore(std::filesystem::path file);

    // The store every part of the plugin uses. Its file is the one the host named, else
    // ${XDG_CONFIG_HOME:-$HOME/.config}/galvoria/preferences.json.
    static PreferenceStore& standard();
    static void setStandardPath(const std::filesystem::path& file);
    static std::filesystem::path defaultPath();

    [[nodiscard]] std::optional<std::string> stringForKey(std::string_view key) const;
    void setValue(std::string_view value, std::string_view key);
    void removeObjectForKey(std::string_view key);

    // Every key and value; empty when the file is absent or unreadable.
    [[nodiscard]] std::map<std::string, std::string> dictionary() const;
    [[nodiscard]] const std::filesystem::path& path() const { return file_; }

private:
    void change(std::string_view key, const std::optional<std::string_view>& value);
    std::filesystem::path file_;
};

}  // namespace platform
