#pragma once
// The plugin protocols: every entry point the host may call on a plugin's principal object.
//
// Entry points that can fail take an error out-parameter (null when the host passes none) and
// report failure by returning no object (std::nullopt / nullptr) or false. They are called off the
// main thread, one at a time; an implementation must never let an exception escape.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "framework/PluginAction.hpp"
#include "framework/PluginTask.hpp"
#include "framework/SettingsElements.hpp"
#include "framework/Value.hpp"

namespace co {

// Called by a plugin to report progress: task, completed count, total count, message.
using ProgressBlock =
    std::function<void(const TaskPtr& task, std::uint64_t completed, std::uint64_t total, const std::string& message)>;
// Called by a settings panel: a code (1 = rebuild the panel) and an optional value.
using SettingsCallback = std::function<void(std::uint64_t code, const std::optional<Value>& value)>;

// Host codes the plugins rely on.
inline constexpr std::uint64_t COSettingsEventButtonPressed = 1;
inline constexpr std::uint64_t COSettingsCallbackRefresh = 1;
inline constexpr std::uint64_t COActionSettingsCallbackRefresh = 1;

class COPluginBase {
public:
    COPluginBase() = default;
    virtual ~COPluginBase();
    COPluginBase(const COPluginBase&) = delete;
    COPluginBase& operator=(const COPluginBase&) = delete;
};

class COFileHandling {
public:
    virtual ~COFileHandling();
    virtual std::optional<std::vector<ActionPtr>> publishingActionsFileCount(std::uint64_t fileCount,
                                                                             ErrorOut error) = 0;
    virtual std::optional<std::vector<TaskPtr>> tasksForAction(const ActionPtr& action,
                                                               const std::vector<std::string>& files,
                                                               ErrorOut error) = 0;
};

class COVariantProcessing {
public:
    virtual ~COVariantProcessing();
    virtual std::optional<Value> processingSettingsForAction(const ActionPtr& action, ErrorOut error) = 0;
    virtual std::uint64_t processingSettingsVisibilityForAction(const ActionPtr& action) = 0;
};

class COActionSettings {
public:
    virtual ~COActionSettings();
    virtual std::optional<std::vector<GroupPtr>> settingsForAction(const ActionPtr& action, const Value& settings,
                                                                   ErrorOut error) = 0;
    // callbackAction: null when the host passes no place for the code.
    virtual bool didUpdateValue(const Value& value, const std::string& setting, const ActionPtr& action,
                                const Value& settings, std::uint64_t* callbackAction, ErrorOut error) = 0;
    virtual bool validateSettings(const Value& settings, const ActionPtr& action, ErrorOut error) = 0;
};

class COPublishingPlugin : public COFileHandling, public COVariantProcessing, public COActionSettings {
public:
    ~COPublishingPlugin() override;
    virtual PublishResultPtr startPublishingTask(const TaskPtr& task, ErrorOut error,
                                                 const ProgressBlock& progress) = 0;
};

class COSettings {
public:
    virtual ~COSettings();
    virtual std::optional<std::vector<GroupPtr>> settingsWithError(ErrorOut error) = 0;
    virtual bool didUpdateValue(const Value& value, const std::string& setting, ErrorOut error,
                                const SettingsCallback& callback) = 0;
    virtual bool handleEvent(std::uint64_t event, const ItemPtr& item, ErrorOut error,
                             const SettingsCallback& callback) = 0;
};

}  // namespace co

// The C entry points a plugin library exports. The host looks each one up when it loads a bundle
// and refuses a library that lacks one or reports another interface version.
extern "C" {
using COPluginInterfaceVersionFn = int (*)();
using COPluginPrincipalClassFn = const char* (*)();
using COPluginCreateFn = co::COPluginBase* (*)();
using COPluginDestroyFn = void (*)(co::COPluginBase*);
}

namespace co {
inline constexpr int COPluginInterfaceVersion = 1;
inline constexpr const char* COPluginInterfaceVersionSymbol = "COPluginInterfaceVersion";
inline constexpr const char* COPluginPrincipalClassSymbol = "COPluginPrincipalClass";
inline constexpr const char* COPluginCreateSymbol = "COPluginCreatePrincipalObject";
inline constexpr const char* COPluginDestroySymbol = "COPluginDestroyPrincipalObject";
}  // namespace co
