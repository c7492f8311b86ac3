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

// Calls `call` and returns its result once the main queue has run what it posted.
template <typename Call>
auto settled(Call&& call) {
    auto result = std::forward<Call>(call)();
    drainMainQueue();
    return result;
}

// Records what a settings callback receives (the plugin may call it from any thread).
class CallbackRecorder {
public:
    co::SettingsCallback block() {
        return [this](std::uint64_t code, const std::optional<co::Value>& value) {
            std::lock_guard lock(mutex_);
            calls_.push_back({code, value});
        };
    }

    std::vector<SettingsCallbackCall> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    std::mutex mutex_;
    std::vector<SettingsCallbackCall> calls_;
};

SettingsOutcome recorded(const std::function<bool(const co::SettingsCallback&)>& call) {
    CallbackRecorder recorder;
    SettingsOutcome outcome;
    outcome.ok = settled([&] { return call(recorder.block()); });
    outcome.callbacks = recorder.calls();
    return outcome;
}

}  // namespace

bool SettingsOutcome::asksForRefresh() const {
    return std::any_of(callbacks.begin(), callbacks.end(),
                       [](const SettingsCallbackCall& call) { return call.code == co::COSettingsCallbackRefresh; });
}

std::optional<std::vector<co::GroupPtr>> PluginSession::settings(co::ErrorOut error) {
    return settled([&] { return loader_.settings()->settingsWithError(error); });
}

SettingsOutcome PluginSession::updateValue(const co::Value& value, const std::string& setting, co::ErrorOut error) {
    return recorded([&](const co::SettingsCallback& callback) {
        return loader_.settings()->didUpdateValue(value, setting, error, callback);
    });
}

SettingsOutcome PluginSession::handleEvent(std::uint64_t event, const co::ItemPtr& item, co::ErrorOut error) {
    return recorded([&](const co::SettingsCallback& callback) {
        return loader_.settings()->handleEvent(event, item, error, callback);
    });
}

std::optional<std::vector<co::ActionPtr>> PluginSession::publishingActions(std::uint64_t fileCount,
                                                                           co::ErrorOut error) {
    return settled([&] { return loader_.publishing()->publishingActionsFileCount(fileCount, error); });
}

co::ActionPtr PluginSession::publishAction(std::uint64_t fileCount) {
    co::Error ignored;
    const auto actions = publishingActions(fileCount, &ignored);
    return actions && !actions->empty() ? actions->front() : nullptr;
}

std::optional<co::Value> PluginSession::processingSettings(const co::ActionPtr& action, co::ErrorOut error) {
    return settled([&] { return loader_.publishing()->processingSettingsForAction(action, error); });
}

std::uint64_t PluginSession::processingSettingsVisibility(const co::ActionPtr& action) {
    return settled([&] { return loader_.publishing()->processingSettingsVisibilityForAction(action); });
}

void PluginSession::prepareRendering(const co::ActionPtr& action) {
    co::Error ignored;
    (void)processingSettings(action, &ignored);
    (void)processingSettingsVisibility(action);
}

std::optional<std::vector<co::GroupPtr>> PluginSession::actionSettings(const co::ActionPtr& action,
                                                                       const co::Value& values, co::ErrorOut error) {
    return settled([&] { return loader_.publishing()->settingsForAction(action, values, error); });
}

ActionValueOutcome PluginSession::updateActionValue(const co::Value& value, const std::string& setting,
                                                    const co::ActionPtr& action, const co::Value& values,
                                                    co::ErrorOut error) {
    ActionValueOutcome outcome;
    outcome.ok = settled([&] {
        return loader_.publishing()->didUpdateValue(value, setting, action, values, &outcome.callbackAction, error);
    });
    return outcome;
}

bool PluginSession::validate(const co::Value& values, const co::ActionPtr& action, co::ErrorOut error) {
    return settled([&] { return loader_.publishing()->validateSettings(values, action, error); });
}

std::optional<std::vector<co::TaskPtr>> PluginSession::tasks(const co::ActionPtr& action,
                                                             const std::vector<std::string>& files,
                                                             co::ErrorOut error) {
    return settled([&] { return loader_.publishing()->tasksForAction(action, files, error); });
}

co::PublishResultPtr PluginSession::publish(const co::TaskPtr& task, co::ErrorOut error,
                                            const co::ProgressBlock& progress) {
    return settled([&] { return loader_.publishing()->startPublishingTask(task, error, progress); });
}

bool PluginSession::restart(std::string& problem) { return loader_.createInstance(problem); }

int runWithPlugin(const HostOptions& options, const std::function<int(PluginSession&)>& body) {
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
                status = body(session);
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
