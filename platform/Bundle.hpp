#pragma once
// Plugin bundles and the host application's string table.
//
// A bundle is a folder "<Name>.coplugin" holding "manifest.json" (bundle identifier, principal
// class, library file name), the plugin library and "Resources/". Code finds its own bundle from
// any address inside its library, whatever the working directory.

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

class Bundle {
public:
    // Reads the manifest of the bundle folder; no value when it is missing or malformed.
    static std::optional<Bundle> atPath(const std::filesystem::path& folder, std::string* problem = nullptr);
    // The bundle whose library holds the given code or data address (bundleForClass).
    static std::optional<Bundle> containingAddress(const void* address);

    [[nodiscard]] const std::filesystem::path& bundlePath() const { return path_; }
    // No value when the manifest names none (or names the empty string).
    [[nodiscard]] const std::optional<std::string>& bundleIdentifier() const { return identifier_; }
    [[nodiscard]] const std::string& principalClass() const { return principalClass_; }
    [[nodiscard]] std::filesystem::path executablePath() const { return path_ / executable_; }
    // "Resources/<name>.<extension>" when it exists as a regular file.
    [[nodiscard]] std::optional<std::filesystem::path> urlForResource(std::string_view name,
                                                                      std::string_view extension) const;

private:
    std::filesystem::path path_;
    std::optional<std::string> identifier_;
    std::string principalClass_;
    std::string executable_;
};

// The host application's default string table (English text -> translation).
void setMainStringTable(std::map<std::string, std::string> strings);
// Looks a text up; an absent key yields the key itself. The translator comment is for translators
// only and has no effect.
std::string localizedString(const std::string& key, std::string_view comment = {});

}  // namespace platform
