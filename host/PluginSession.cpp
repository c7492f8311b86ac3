#include "host/PluginSession.hpp"

#include <algorithm>
#include <exception>
#include <mutex>
#include <thread>

#include "host/Terminal.hpp"
#include "platform/Dispatch.hpp"

namespace galvoria::host {
namespace {

// Every block the entry point posted has run once this returns.
void drainMainQueue() { platform::MainQueue::shared().waitUntilDrained(); }

// Records the codes a settings callback receives (the plugin may call it from any thread).
struct CallbackRecorder {
    std::mutex mutex;
    std::vector<std::uint64_t> codes;

    co::SettingsCallback block() {
        return [this](std::uint64_t code, const std::optional<co::Value>& /*value*/) {
            std::lock_guard lock(mutex);
            codes.push_back(code);
        };
    }
};

}  // namespace

bool SettingsOutcome::asksForRefresh() const {
    return std::find(callbackCodes.begin(), callbackCodes.end(), co::COSettingsCallbackRefresh) != callbackCodes.end();
}

std::vector<co::GroupPtr> PluginSession::settings(co::Error& error) {
    auto groups = loader_.settings()->settingsWithError(&error);
    drainMainQueue();
    return groups.value_or(std::vector<co::GroupPtr>{});
}

SettingsOutcome PluginSession::updateValue(const co::Value& value, const std::string& setting) {
    SettingsOutcome outcome;
    CallbackRecorder recorder;
    outcome.ok = loader_.settings()->didUpdateValue(value, setting, &outcome.error, recorder.block());
    drainMainQueue();
    std::lock_guard lock(recorder.mutex);
    outcome.callbackCodes = recorder.codes;
    return outcome;
}

SettingsOutcome PluginSession::pressButton(const co::ItemPtr& item) {
    SettingsOutcome outcome;
    CallbackRecorder recorder;
    outcome.ok =
        loader_.settings()->handleEvent(co::COSettingsEventButtonPressed, item, &outcome.error, recorder.block());
    drainMainQueue();
    std::lock_guard lock(recorder.mutex);
    outcome.callbackCodes = recorder.codes;
    return outcome;
}

co::ActionPtr PluginSession::publishAction(std::uint64_t fileCount) {
    co::Error ignored;
    const auto actions = loader_.publishing()->publishingActionsFileCount(fileCount, &ignored);
    drainMainQueue();
    if (!actions || actions->empty()) {
        return nullptr;
    }
    return actions->front();
}

void PluginSession::prepareRendering(const co::ActionPtr& action) {
    co::Error ignored;
    // The files a person hands the host are already rendered; the answers are asked for as the
    // application asks for them, and the visibility question lets the plugin fetch fresh listings.
    (void)loader_.publishing()->processingSettingsForAction(action, &ignored);
    (void)loader_.publishing()->processingSettingsVisibilityForAction(action);
    drainMainQueue();
}

std::optional<std::vector<co::GroupPtr>> PluginSession::actionSettings(const co::ActionPtr& action,
                                                                       const co::Value& values) {
    co::Error ignored;
    auto groups = loader_.publishing()->settingsForAction(action, values, &ignored);
    drainMainQueue();
    return groups;
}

bool PluginSession::updateActionValue(const co::Value& value, const std::string& setting, const co::ActionPtr& action,
                                      const co::Value& values) {
    co::Error ignored;
    std::uint64_t callbackAction = 0;
    (void)loader_.publishing()->didUpdateValue(value, setting, action, values, &callbackAction, &ignored);
    drainMainQueue();
    return callbackAction == co::COActionSettingsCallbackRefresh;
}

bool PluginSession::validate(const co::Value& values, const co::ActionPtr& action, co::Error& error) {
    const bool ok = loader_.publishing()->validateSettings(values, action, &error);
    drainMainQueue();
    return ok;
}

std::optional<std::vector<co::TaskPtr>> PluginSession::tasks(const co::ActionPtr& action,
                                                             const std::vector<std::string>& files, co::Error& error) {
    auto tasks = loader_.publishing()->tasksForAction(action, files, &error);
    drainMainQueue();
    return tasks;
}

co::PublishResultPtr PluginSession::publish(const co::TaskPtr& task, co::Error& error,
                                            const co::ProgressBlock& progress) {
    auto result = loader_.publishing()->startPublishingTask(task, &error, progress);
    drainMainQueue();
    return result;
}

int runWithPlugin(const HostOptions& options, const std::function<int(PluginSession&)>& command) {
    std::string problem;
    auto loader = prepareHost(options, problem);
    if (!loader) {
        terminal::err("galvoria-host: " + problem + "\n");
        return 2;
    }
    int status = 1;
    std::thread worker;
    auto serve = [&] {
        try {
            std::string reason;
            if (!loader->createInstance(reason)) {
                terminal::err("galvoria-host: " + terminal::visible(reason) + "\n");
                status = 2;
            } else {
                PluginSession session(*loader);
                status = command(session);
                loader->releaseInstance();
            }
        } catch (const std::exception& failure) {
            terminal::err("galvoria-host: " + terminal::visible(failure.what()) + "\n");
            status = 1;
        }
        platform::MainQueue::shared().stop();
    };
    // The worker starts once this thread serves the queue, so its first call finds it served.
    platform::MainQueue::shared().async([&] { worker = std::thread(serve); });
    platform::MainQueue::shared().run();
    worker.join();
    return status;
}

co::ItemPtr findItem(const std::vector<co::GroupPtr>& groups, std::string_view identifier) {
    for (const auto& group : groups) {
        if (!group) {
            continue;
        }
        for (const auto& element : group->elements()) {
            if (element && element->identifier() && *element->identifier() == identifier) {
                return element;
            }
        }
    }
    return nullptr;
}

std::string valueText(const co::COSettingsItem& item) {
    const auto& value = item.value();
    if (!value) {
        return {};
    }
    return value->is_string() ? value->get<std::string>() : value->dump();
}

}  // namespace galvoria::host
