#include "plugin/GalvoriaCOPlugin.hpp"

#include <exception>
#include <limits>

#include "platform/Log.hpp"
#include "platform/PreferenceStore.hpp"
#include "publishing/PublishingTask.hpp"
#include "settings/AccountPanel.hpp"
#include "settings/PublishOptions.hpp"
#include "vocabulary/PublishAction.hpp"
#include "vocabulary/VelbrookError.hpp"

namespace galvoria {
namespace {

// Runs an entry point's body; an exception never reaches the host. It is logged (without its
// arguments) and reported as the entry point's failure value with a generic error.
template <typename Result, typename Body>
Result guarded(const char* entryPoint, co::ErrorOut error, Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const std::exception& exception) {
        platform::log::line(std::string("Internal error in ") + entryPoint + ": " + exception.what());
    } catch (...) {
        platform::log::line(std::string("Internal error in ") + entryPoint);
    }
    try {
        VelbrookError::standardMessage("Internal error", "The plugin could not complete the request.").report(error);
    } catch (...) {  // NOLINT(bugprone-empty-catch): nothing more can be reported
    }
    return failure;
}

}  // namespace

std::optional<std::vector<co::ActionPtr>> Velbrook::publishingActionsFileCount(std::uint64_t fileCount,
                                                                               co::ErrorOut error) {
    return guarded<std::optional<std::vector<co::ActionPtr>>>("publishingActionsFileCount", error, std::nullopt,
                                                              [&]() -> std::optional<std::vector<co::ActionPtr>> {
                                                                  if (fileCount == 0) {
                                                                      return std::vector<co::ActionPtr>{};
                                                                  }
                                                                  return std::vector<co::ActionPtr>{publishAction()};
                                                              });
}

std::optional<std::vector<co::TaskPtr>> Velbrook::tasksForAction(const co::ActionPtr& action,
                                                                 const std::vector<std::string>& files,
                                                                 co::ErrorOut error) {
    return guarded<std::optional<std::vector<co::TaskPtr>>>(
        "tasksForAction", error, std::nullopt, [&]() -> std::optional<std::vector<co::TaskPtr>> {
            if (!isPublishAction(action)) {
                VelbrookError::invalidAction().report(error);
                return std::nullopt;
            }
            return std::vector<co::TaskPtr>{std::make_shared<co::COFileHandlingPluginTask>(action, files)};
        });
}

co::Value Velbrook::processingSettings() {
    co::Value settings = co::Value::object();
    settings[co::COSupportedFileFormatsKey] = co::Value::array({std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{7}});
    settings[co::COProcessFileFormatKey] = std::uint64_t{1};
    settings[co::COProcessIncludeAnnotationsKey] = true;
    settings[co::COProcessIncludeKeywordsMetadataKey] = std::int64_t{1};
    settings[co::COProcessScaleMethodKey] = std::uint64_t{5};
    co::Value longEdge = co::Value::object();
    longEdge[co::COProcessScaleLengthKey] = std::int64_t{100};
    longEdge[co::COProcessScaleUnitKey] = std::uint64_t{0};
    settings[co::COProcessLongEdgeScaleKey] = std::move(longEdge);
    return settings;
}

std::optional<co::Value> Velbrook::processingSettingsForAction(const co::ActionPtr& /*action*/, co::ErrorOut error) {
    return guarded<std::optional<co::Value>>("processingSettingsForAction", error, std::nullopt,
                                             []() -> std::optional<co::Value> { return processingSettings(); });
}

std::uint64_t Velbrook::processingSettingsVisibilityForAction(const co::ActionPtr& action) {
    constexpr std::uint64_t allBits = std::numeric_limits<std::uint64_t>::max();
    return guarded<std::uint64_t>("processingSettingsVisibilityForAction", nullptr, allBits, [&] {
        if (isPublishAction(action)) {
            caches_.empty();
        }
        return allBits;
    });
}

std::optional<std::vector<co::GroupPtr>> Velbrook::settingsForAction(const co::ActionPtr& action,
                                                                     const co::Value& settings, co::ErrorOut error) {
    return guarded<std::optional<std::vector<co::GroupPtr>>>(
        "settingsForAction", error, std::nullopt, [&]() -> std::optional<std::vector<co::GroupPtr>> {
            return settings::publishOptions(network_, preferences_, caches_, action, settings);
        });
}

bool Velbrook::didUpdateValue(const co::Value& value, const std::string& setting, const co::ActionPtr& /*action*/,
                              const co::Value& /*settings*/, std::uint64_t* callbackAction, co::ErrorOut error) {
    return guarded<bool>("didUpdateValue", error, false,
                         [&] { return settings::didUpdateOptionValue(preferences_, value, setting, callbackAction); });
}

bool Velbrook::validateSettings(const co::Value& settings, const co::ActionPtr& action, co::ErrorOut error) {
    return guarded<bool>("validateSettings", error, false,
                         [&] { return settings::validatePublishOptions(preferences_, settings, action, error); });
}

co::PublishResultPtr Velbrook::startPublishingTask(const co::TaskPtr& task, co::ErrorOut error,
                                                   const co::ProgressBlock& progress) {
    return guarded<co::PublishResultPtr>("startPublishingTask", error, nullptr, [&] {
        return publishing::startPublishingTask(network_, preferences_, task, error, progress);
    });
}

std::optional<std::vector<co::GroupPtr>> Velbrook::settingsWithError(co::ErrorOut error) {
    return guarded<std::optional<std::vector<co::GroupPtr>>>(
        "settingsWithError", error, std::nullopt,
        [&]() -> std::optional<std::vector<co::GroupPtr>> { return settings::accountPanel(preferences_); });
}

bool Velbrook::didUpdateValue(const co::Value& value, const std::string& setting, co::ErrorOut error,
                              const co::SettingsCallback& /*callback*/) {
    return guarded<bool>("didUpdateValue", error, false,
                         [&] { return settings::didUpdateAccountValue(preferences_, value, setting); });
}

bool Velbrook::handleEvent(std::uint64_t event, const co::ItemPtr& item, co::ErrorOut error,
                           const co::SettingsCallback& callback) {
    return guarded<bool>("handleEvent", error, false, [&] {
        return settings::handleAccountEvent(network_, preferences_, event, item, error, callback);
    });
}

}  // namespace galvoria

// The library's exports: the host looks these up by name when it loads the bundle.
extern "C" {

__attribute__((visibility("default"))) int COPluginInterfaceVersion() { return co::COPluginInterfaceVersion; }

__attribute__((visibility("default"))) const char* COPluginPrincipalClass() { return "Velbrook"; }

__attribute__((visibility("default"))) co::COPluginBase* COPluginCreatePrincipalObject() {
    try {
        // The application's store: the one place below the host that names it.
        return new galvoria::Velbrook(platform::PreferenceStore::standard());
    } catch (...) {
        return nullptr;
    }
}

__attribute__((visibility("default"))) void COPluginDestroyPrincipalObject(co::COPluginBase* object) { delete object; }
}
