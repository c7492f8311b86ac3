#include "vocabulary/VelbrookError.hpp"

#include "platform/Bundle.hpp"

namespace galvoria {

VelbrookError VelbrookError::standardMessage(std::string message, std::string reason) {
    VelbrookError error(Case::standardMessage);
    error.message_ = std::move(message);
    error.reason_ = std::move(reason);
    return error;
}

VelbrookError VelbrookError::invalidSettingValue(std::string setting) {
    VelbrookError error(Case::invalidSettingValue);
    error.message_ = std::move(setting);
    return error;
}

VelbrookError VelbrookError::invalidActionSettings(std::string setting, co::ActionPtr action) {
    VelbrookError error(Case::invalidActionSettings);
    error.message_ = std::move(setting);
    error.action_ = std::move(action);
    return error;
}

VelbrookError VelbrookError::invalidAction() { return VelbrookError(Case::invalidAction); }
VelbrookError VelbrookError::invalidTaskFiles() { return VelbrookError(Case::invalidTaskFiles); }
VelbrookError VelbrookError::unsupportedEvent() { return VelbrookError(Case::unsupportedEvent); }

std::string VelbrookError::shortDescription() const {
    switch (case_) {
        case Case::standardMessage:
            return message_;
        case Case::invalidSettingValue:
            return "Invalid value for " + message_ + ".";
        case Case::invalidActionSettings:
            return "Invalid value for " + message_;
        case Case::invalidAction:
            return "Innvalid action.";
        case Case::invalidTaskFiles:
            return "Invalid task files.";
        case Case::unsupportedEvent:
            return "Unsupported event.";
    }
    return {};
}

std::string VelbrookError::longDescription() const {
    switch (case_) {
        case Case::standardMessage:
            return reason_;
        case Case::invalidSettingValue:
            return "The value you provided for " + message_ + " is not acceptable.";
        case Case::invalidActionSettings:
            return "The value supplied for " + message_ + " is not valid for performing " +
                   (action_ ? action_->displayName() : std::string{}) + ".";
        case Case::invalidAction:
            return "The action cannot be performed by this plugin.";
        case Case::invalidTaskFiles:
            return "The files supplied along with the task are not valid for starting the task.";
        case Case::unsupportedEvent:
            return "The specified event type is unknown.";
    }
    return {};
}

std::string VelbrookError::comment(bool longDescription) const {
    const char* name = "";
    switch (case_) {
        case Case::standardMessage:
            return {};
        case Case::invalidSettingValue:
            name = "invalidSettingValue";
            break;
        case Case::invalidActionSettings:
            name = "invalidActionSettings";
            break;
        case Case::invalidAction:
            name = "invalidAction";
            break;
        case Case::invalidTaskFiles:
            name = "invalidTaskFiles";
            break;
        case Case::unsupportedEvent:
            name = "unsupportedEvent";
            break;
    }
    return std::string("Error - ") + name + (longDescription ? " - long description" : " - short description");
}

co::Error VelbrookError::toPlatformError() const {
    return {[error = *this] { return platform::localizedString(error.shortDescription(), error.comment(false)); },
            [error = *this] { return platform::localizedString(error.longDescription(), error.comment(true)); }};
}

}  // namespace galvoria
