#pragma once
// VelbrookError: how every entry point of the plugin reports a failure to the host.

#include <string>

#include "framework/PluginAction.hpp"
#include "framework/Value.hpp"

namespace galvoria {

class VelbrookError {
public:
    enum class Case {
        standardMessage,
        invalidSettingValue,
        invalidActionSettings,
        invalidAction,
        invalidTaskFiles,
        unsupportedEvent
    };

    static VelbrookError standardMessage(std::string message, std::string reason);
    static VelbrookError invalidSettingValue(std::string setting);
    static VelbrookError invalidActionSettings(std::string setting, co::ActionPtr action);
    static VelbrookError invalidAction();
    static VelbrookError invalidTaskFiles();
    static VelbrookError unsupportedEvent();

    [[nodiscard]] Case errorCase() const { return case_; }
    // The English texts, before the host's string table is consulted.
    [[nodiscard]] std::string shortDescription() const;
    [[nodiscard]] std::string longDescription() const;
    // The translator comments of the two lookups ("Error - invalidAction - long description").
    [[nodiscard]] std::string comment(bool longDescription) const;

    // The platform error object; its texts are looked up in the host's string table each time
    // they are asked for.
    [[nodiscard]] co::Error toPlatformError() const;

    // Stores the error in the out-parameter, when the host passed one.
    void report(co::ErrorOut out) const { co::setError(out, toPlatformError()); }

private:
    explicit VelbrookError(Case errorCase) : case_(errorCase) {}
    Case case_;
    std::string message_;  // standardMessage: message; invalid*Setting*: the setting
    std::string reason_;   // standardMessage: reason
    co::ActionPtr action_;
};

}  // namespace galvoria
