#pragma once
// The plugin's state in the preference store, typed: the bearer token, the login form's two fields
// and what the last publish created. The principal class owns one over the application's store and
// hands it to the parts that read or change that state.

#include <optional>
#include <string>
#include <string_view>

#include "platform/PreferenceStore.hpp"

namespace galvoria {

class Preferences {
public:
    explicit Preferences(platform::PreferenceStore& store) : store_(&store) {}

    // The stored token, or the empty string.
    [[nodiscard]] std::string token() const;
    // Logged in exactly when the token is a non-empty string.
    [[nodiscard]] bool isLoggedIn() const { return !token().empty(); }
    void setToken(std::string_view token);
    void forgetToken();

    [[nodiscard]] std::optional<std::string> username() const;
    [[nodiscard]] std::optional<std::string> password() const;
    void setPassword(std::string_view password);
    // What was typed into one of the login form's fields (`key` is its preference key).
    [[nodiscard]] std::optional<std::string> field(std::string_view key) const;
    void setField(std::string_view key, std::string_view value);

    [[nodiscard]] std::optional<std::string> lastCreatedFolder() const;
    [[nodiscard]] std::optional<std::string> lastCreatedProject() const;
    void setLastCreatedFolder(std::string_view folderId);
    void setLastCreatedProject(std::string_view projectId);
    // Each removal rewrites and syncs the store file, so a key that is not there is left alone.
    void forgetLastCreatedFolder();
    void forgetLastCreatedProject();

private:
    void forget(std::string_view key);

    platform::PreferenceStore* store_;
};

}  // namespace galvoria
