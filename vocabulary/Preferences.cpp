#include "vocabulary/Preferences.hpp"

#include "vocabulary/PreferenceKeys.hpp"

namespace galvoria {

std::string Preferences::token() const { return store_->stringForKey(prefs::apiToken).value_or(std::string{}); }
void Preferences::setToken(std::string_view token) { store_->setValue(token, prefs::apiToken); }
void Preferences::forgetToken() { store_->removeObjectForKey(prefs::apiToken); }

std::optional<std::string> Preferences::username() const { return store_->stringForKey(prefs::username); }
std::optional<std::string> Preferences::password() const { return store_->stringForKey(prefs::password); }
void Preferences::setPassword(std::string_view password) { store_->setValue(password, prefs::password); }
std::optional<std::string> Preferences::field(std::string_view key) const { return store_->stringForKey(key); }
void Preferences::setField(std::string_view key, std::string_view value) { store_->setValue(value, key); }

std::optional<std::string> Preferences::lastCreatedFolder() const {
    return store_->stringForKey(prefs::lastCreatedFolder);
}
std::optional<std::string> Preferences::lastCreatedProject() const {
    return store_->stringForKey(prefs::lastCreatedProject);
}
void Preferences::setLastCreatedFolder(std::string_view folderId) {
    store_->setValue(folderId, prefs::lastCreatedFolder);
}
void Preferences::setLastCreatedProject(std::string_view projectId) {
    store_->setValue(projectId, prefs::lastCreatedProject);
}
void Preferences::forgetLastCreatedFolder() { forget(prefs::lastCreatedFolder); }
void Preferences::forgetLastCreatedProject() { forget(prefs::lastCreatedProject); }

void Preferences::forget(std::string_view key) {
    if (store_->stringForKey(key)) {
        store_->removeObjectForKey(key);
    }
}

}  // namespace galvoria
