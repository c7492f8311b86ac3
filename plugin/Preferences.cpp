#include "plugin/Preferences.hpp"

#include "platform/PreferenceStore.hpp"

namespace galvoria::prefs {

std::string stringOrEmpty(std::string_view key) {
    return platform::PreferenceStore::standard().stringForKey(key).value_or(std::string{});
}

bool isLoggedIn() { return !stringOrEmpty(apiToken).empty(); }

}  // namespace galvoria::prefs
