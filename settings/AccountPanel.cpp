#include "settings/AccountPanel.hpp"

#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/Log.hpp"
#include "platform/Uuid.hpp"
#include "settings/OptionChain.hpp"
#include "vocabulary/ItemIdentifiers.hpp"
#include "vocabulary/VelbrookError.hpp"

namespace galvoria::settings {
namespace {

using account::forgotPasswordLabel;
using account::loggedInLabel;
using account::loginButton;
using account::logoutButton;

constexpr std::string_view loginFailedMessage = "login-failed";

// Shown in the log wherever the password would stand.
constexpr std::string_view maskedSecret = "********";

bool isPanelField(std::string_view setting) {
    return setting == account::usernameField || setting == account::passwordField;
}

void appendElement(co::COSettingsElementsGroup& group, co::ItemPtr element) {
    auto elements = group.elements();
    elements.push_back(std::move(element));
    group.setElements(std::move(elements));
}

co::ItemPtr makeTextField(const Preferences& preferences, std::string_view identifier, std::string title, bool secure) {
    auto field = std::make_shared<co::COSettingsTextItem>();
    field->setIdentifier(std::string(identifier));
    field->setTitle(std::move(title));
    if (const auto stored = preferences.field(identifier)) {
        field->setValue(co::Value(*stored));
    }
    if (secure) {
        field->setSecure(true);
    }
    return field;
}

// Buttons carry a fresh context on every build; the plugin never reads it back.
co::ItemPtr makeButton(std::string_view identifier, std::string title) {
    auto button = std::make_shared<co::COSettingsButtonItem>();
    button->setIdentifier(std::string(identifier));
    button->setTitle(std::move(title));
    button->setContext(platform::makeUuidString());
    return button;
}

co::ItemPtr makeLabel(std::string_view identifier, std::string value) {
    auto label = std::make_shared<co::COSettingsLabelItem>();
    label->setIdentifier(std::string(identifier));
    label->setValue(co::Value(std::move(value)));
    return label;
}

void refresh(const co::SettingsCallback& callback) {
    if (callback) {
        callback(co::COSettingsCallbackRefresh, std::nullopt);
    }
}

// Sends the stored e-mail address and password for a token. Both must be non-empty, the address
// checked first, before anything reaches the service.
bool logIn(const Network& network, const Preferences& preferences, co::ErrorOut error,
           const co::SettingsCallback& callback) {
    const std::string username = preferences.username().value_or(std::string{});
    const std::string password = preferences.password().value_or(std::string{});
    platform::log::format("Username: %@", {username});
    platform::log::format("Password: %@", {maskedSecret});
    if (username.empty()) {
        VelbrookError::invalidSettingValue("Email").report(error);
        return false;
    }
    if (password.empty()) {
        VelbrookError::invalidSettingValue("Password").report(error);
        return false;
    }
    if (network.login(username, password) == loginFailedMessage) {
        VelbrookError::standardMessage("Login Failed", "Please try again.").report(error);
        return false;
    }
    refresh(callback);
    return true;
}

}  // namespace

std::vector<co::GroupPtr> accountPanel(const Preferences& preferences) {
    platform::log::line("SETTINGS");
    auto group = std::make_shared<co::COSettingsElementsGroup>();
    group->setIdentifier(std::string(account::group));
    group->setTitle("Default");

    if (!preferences.isLoggedIn()) {
        appendElement(*group, makeTextField(preferences, account::usernameField, "Username", false));
        appendElement(*group, makeTextField(preferences, account::passwordField, "Password", true));
        appendElement(*group, makeButton(loginButton, "Login"));
        appendElement(*group, makeLabel(forgotPasswordLabel, "Forgot your password? [Click here](" + serviceBaseURL() +
                                                                 "/forgot-password)"));
    } else {
        appendElement(*group,
                      makeLabel(loggedInLabel, "You are logged in as " + preferences.username().value_or("Unknown")));
        appendElement(*group, makeButton(logoutButton, "Logout"));
    }
    return {group};
}

bool didUpdateAccountValue(Preferences& preferences, const co::Value& value, const std::string& setting) {
    const std::string shown = setting == account::passwordField ? std::string(maskedSecret) : logText(value);
    platform::log::format("UPDATED VALUE: %@ FOR SETTING: %@", {shown, setting});
    // Only the panel's two text fields carry values, and only as text: anything else would put a
    // key of the host's shared store, or a non-text entry, under the plugin's control.
    if (!isPanelField(setting)) {
        platform::log::format("Not persisted: %@ is not a field of the account panel", {setting});
        return true;
    }
    if (!value.is_string()) {
        platform::log::format("Not persisted: the value for %@ is not text", {setting});
        return true;
    }
    platform::log::line("Persists: " + shown + " forKey: " + setting);
    preferences.setField(setting, value.get<std::string>());
    return true;
}

bool handleAccountEvent(const Network& network, Preferences& preferences, std::uint64_t event, const co::ItemPtr& item,
                        co::ErrorOut error, const co::SettingsCallback& callback) {
    if (event != co::COSettingsEventButtonPressed) {
        VelbrookError::unsupportedEvent().report(error);
        return false;
    }
    const std::optional<std::string> identifier = item ? item->identifier() : std::nullopt;
    if (identifier == logoutButton) {
        platform::log::line("logout");
        preferences.forgetToken();
        refresh(callback);
        return true;
    }
    if (identifier == loginButton) {
        return logIn(network, preferences, error, callback);
    }
    return true;
}

}  // namespace galvoria::settings
