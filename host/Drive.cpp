#include "host/Drive.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "host/HostObjects.hpp"
#include "platform/Dispatch.hpp"
#include "platform/Log.hpp"
#include "platform/PreferenceStore.hpp"

namespace galvoria::host {
namespace {

// A request the host cannot pass to the plugin; its text goes back in an error reply.
class BadRequest : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes protocol lines to the descriptor that was standard output when the host started.
class ProtocolWriter {
public:
    explicit ProtocolWriter(int fd) : fd_(fd) {}

    void write(const co::Value& line) {
        std::string text = line.dump(-1, ' ', false, co::Value::error_handler_t::replace);
        text += '\n';
        std::lock_guard lock(mutex_);
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t written = ::write(fd_, text.data() + done, text.size() - done);
            if (written < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            done += static_cast<std::size_t>(written);
        }
    }

private:
    int fd_;
    std::mutex mutex_;
};

const co::Value& member(const co::Value& request, const char* name) {
    const auto found = request.find(name);
    if (found == request.end()) {
        throw BadRequest(std::string("missing member \"") + name + "\"");
    }
    return *found;
}

std::string stringMember(const co::Value& request, const char* name) {
    const auto& value = member(request, name);
    if (!value.is_string()) {
        throw BadRequest(std::string("member \"") + name + "\" must be a string");
    }
    return value.get<std::string>();
}

std::uint64_t countMember(const co::Value& request, const char* name) {
    const auto& value = member(request, name);
    if (!value.is_number_unsigned()) {
        throw BadRequest(std::string("member \"") + name + "\" must be an integer of at least 0");
    }
    return value.get<std::uint64_t>();
}

const co::Value& objectMember(const co::Value& request, const char* name) {
    const auto& value = member(request, name);
    if (!value.is_object()) {
        throw BadRequest(std::string("member \"") + name + "\" must be an object");
    }
    return value;
}

std::vector<std::string> stringList(const co::Value& value, const char* name) {
    if (!value.is_array()) {
        throw BadRequest(std::string("member \"") + name + "\" must be an array of strings");
    }
    std::vector<std::string> out;
    out.reserve(value.size());
    for (const auto& element : value) {
        if (!element.is_string()) {
            throw BadRequest(std::string("member \"") + name + "\" must be an array of strings");
        }
        out.push_back(element.get<std::string>());
    }
    return out;
}

bool noErrorOut(const co::Value& request) {
    const auto found = request.find("noErrorOut");
    if (found == request.end()) {
        return false;
    }
    if (!found->is_boolean()) {
        throw BadRequest("member \"noErrorOut\" must be a boolean");
    }
    return found->get<bool>();
}

// One call's error out-parameter: absent when the driver asked for none.
struct ErrorSlot {
    explicit ErrorSlot(bool none) : none_(none) {}
    co::ErrorOut out() { return none_ ? nullptr : &error_; }
    void addTo(co::Value& reply) const {
        if (!none_ && !error_.empty()) {
            reply["error"] = errorToJson(error_);
        }
    }

private:
    bool none_;
    co::Error error_;
};

co::Value reply(const std::string& call, bool ok) {
    co::Value out = co::Value::object();
    out["reply"] = call;
    out["ok"] = ok;
    return out;
}

class Driver {
public:
    Driver(PluginLoader& loader, ProtocolWriter& writer) : loader_(loader), writer_(writer) {
        handlers_ = {
            {"publishingActionsFileCount", [this](const co::Value& r) { return publishingActionsFileCount(r); }},
            {"tasksForAction", [this](const co::Value& r) { return tasksForAction(r); }},
            {"startPublishingTask", [this](const co::Value& r) { return startPublishingTask(r); }},
            {"settingsWithError", [this](const co::Value& r) { return settingsWithError(r); }},
            {"didUpdateValue", [this](const co::Value& r) { return didUpdateValue(r); }},
            {"handleEvent", [this](const co::Value& r) { return handleEvent(r); }},
            {"settingsForAction", [this](const co::Value& r) { return settingsForAction(r); }},
            {"didUpdateActionValue", [this](const co::Value& r) { return didUpdateActionValue(r); }},
            {"validateSettings", [this](const co::Value& r) { return validateSettings(r); }},
            {"processingSettingsForAction", [this](const co::Value& r) { return processingSettingsForAction(r); }},
            {"processingSettingsVisibilityForAction",
             [this](const co::Value& r) { return processingSettingsVisibilityForAction(r); }},
            {"preferences", [this](const co::Value& r) { return preferences(r); }},
            {"restart", [this](const co::Value& r) { return restart(r); }},
        };
    }

    void handleLine(std::string line) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.find_first_not_of(" \t") == std::string::npos) {
            return;
        }
        co::Value out;
        try {
            const co::Value request = co::Value::parse(line, nullptr, false);
            if (request.is_discarded() || !request.is_object()) {
                throw BadRequest("the request is not a JSON object");
            }
            const auto call = request.find("call");
            if (call == request.end() || !call->is_string()) {
                throw BadRequest("the request has no string member \"call\"");
            }
            const auto handler = handlers_.find(call->get<std::string>());
            if (handler == handlers_.end()) {
                throw BadRequest("unknown call \"" + call->get<std::string>() + "\"");
            }
            out = handler->second(request);
        } catch (const BadRequest& bad) {
            out = reply("error", false);
            out["message"] = bad.what();
        } catch (const std::exception& failure) {
            out = reply("error", false);
            out["message"] = std::string("the host could not handle the request: ") + failure.what();
        }
        writer_.write(out);
    }

private:
    // Every event posted by the entry point precedes its reply.
    static void drainMainQueue() { platform::MainQueue::shared().waitUntilDrained(); }

    co::ActionPtr heldPublishAction() {
        if (!held_) {
            const auto actions = loader_.publishing()->publishingActionsFileCount(1, nullptr);
            drainMainQueue();
            if (actions && !actions->empty()) {
                held_ = actions->front();
            }
        }
        if (!held_) {
            throw BadRequest("the plugin offers no publish action");
        }
        return held_;
    }

    co::ActionPtr actionFrom(const co::Value& value) {
        if (value.is_string()) {
            if (value.get<std::string>() == "publish") {
                return heldPublishAction();
            }
            throw BadRequest("unknown action \"" + value.get<std::string>() + "\"");
        }
        if (value.is_object()) {
            const auto action = std::make_shared<co::COPluginAction>(stringMember(value, "displayName"));
            action->setIdentifier(stringMember(value, "identifier"));
            return action;
        }
        throw BadRequest("member \"action\" must be \"publish\" or an object with \"displayName\" and \"identifier\"");
    }

    co::ActionPtr action(const co::Value& request) { return actionFrom(member(request, "action")); }

    co::Value publishingActionsFileCount(const co::Value& request) {
        const auto count = countMember(request, "fileCount");
        ErrorSlot error(noErrorOut(request));
        const auto actions = loader_.publishing()->publishingActionsFileCount(count, error.out());
        drainMainQueue();
        co::Value out = reply("publishingActionsFileCount", actions.has_value());
        if (actions) {
            if (!held_ && !actions->empty()) {
                held_ = actions->front();
            }
            co::Value list = co::Value::array();
            for (const auto& each : *actions) {
                if (each) {
                    list.push_back(actionToJson(*each));
                }
            }
            out["actions"] = std::move(list);
        }
        error.addTo(out);
        return out;
    }

    co::Value tasksForAction(const co::Value& request) {
        const auto target = action(request);
        const auto files = stringList(member(request, "files"), "files");
        ErrorSlot error(noErrorOut(request));
        const auto tasks = loader_.publishing()->tasksForAction(target, files, error.out());
        drainMainQueue();
        co::Value out = reply("tasksForAction", tasks.has_value());
        if (tasks) {
            co::Value list = co::Value::array();
            for (const auto& each : *tasks) {
                if (each) {
                    list.push_back(taskToJson(*each));
                }
            }
            out["tasks"] = std::move(list);
        }
        error.addTo(out);
        return out;
    }

    co::Value startPublishingTask(const co::Value& request) {
        const auto& description = objectMember(request, "task");
        const auto target = actionFrom(member(description, "action"));
        std::optional<std::vector<std::string>> files;
        if (const auto found = description.find("files"); found != description.end() && !found->is_null()) {
            files = stringList(*found, "files");
        }
        std::optional<co::Value> settings;
        if (const auto found = description.find("settings"); found != description.end() && !found->is_null()) {
            if (!found->is_object()) {
                throw BadRequest("member \"settings\" of \"task\" must be an object or null");
            }
            settings = *found;
        }
        std::optional<std::uint64_t> cancelAfter;
        if (request.contains("cancelAfter")) {
            cancelAfter = countMember(request, "cancelAfter");
        }
        ErrorSlot error(noErrorOut(request));

        auto task = std::make_shared<co::COFileHandlingPluginTask>(target, std::move(files));
        task->setSettings(std::move(settings));
        task->setCancelled(cancelAfter && *cancelAfter == 0);
        auto reports = std::make_shared<std::uint64_t>(0);
        co::ProgressBlock progress = [this, reports, cancelAfter](const co::TaskPtr& reported, std::uint64_t completed,
                                                                  std::uint64_t total, const std::string& message) {
            co::Value event = co::Value::object();
            event["event"] = "progress";
            event["completed"] = completed;
            event["total"] = total;
            event["message"] = message;
            event["mainThread"] = platform::MainQueue::shared().isMainThread();
            writer_.write(event);
            ++*reports;
            if (cancelAfter && *reports >= *cancelAfter && reported) {
                reported->setCancelled(true);
            }
        };
        const auto result = loader_.publishing()->startPublishingTask(task, error.out(), progress);
        drainMainQueue();
        co::Value out = reply("startPublishingTask", result != nullptr);
        if (result) {
            out["result"] = resultToJson(*result);
        }
        error.addTo(out);
        return out;
    }

    co::Value settingsWithError(const co::Value& request) {
        ErrorSlot error(noErrorOut(request));
        const auto groups = loader_.settings()->settingsWithError(error.out());
        drainMainQueue();
        co::Value out = reply("settingsWithError", groups.has_value());
        if (groups) {
            panelItems_.clear();
            co::Value list = co::Value::array();
            for (const auto& group : *groups) {
                if (!group) {
                    continue;
                }
                for (const auto& element : group->elements()) {
                    if (element && element->identifier()) {
                        panelItems_[*element->identifier()] = element;
                    }
                }
                list.push_back(groupToJson(*group));
            }
            out["groups"] = std::move(list);
        }
        error.addTo(out);
        return out;
    }

    // Collects what the plugin passes to a settings callback.
    struct Callbacks {
        std::mutex mutex;
        co::Value calls = co::Value::array();
        co::SettingsCallback block() {
            return [this](std::uint64_t code, const std::optional<co::Value>& value) {
                co::Value call = co::Value::object();
                call["code"] = code;
                if (value) {
                    call["value"] = *value;
                }
                std::lock_guard lock(mutex);
                calls.push_back(std::move(call));
            };
        }
    };

    co::Value didUpdateValue(const co::Value& request) {
        const auto& value = member(request, "value");
        const auto setting = stringMember(request, "setting");
        ErrorSlot error(noErrorOut(request));
        Callbacks callbacks;
        const bool ok = loader_.settings()->didUpdateValue(value, setting, error.out(), callbacks.block());
        drainMainQueue();
        co::Value out = reply("didUpdateValue", ok);
        out["callbacks"] = callbacks.calls;
        error.addTo(out);
        return out;
    }

    co::Value handleEvent(const co::Value& request) {
        const auto event = countMember(request, "event");
        const auto identifier = stringMember(request, "item");
        // The item the host shows under that identifier, or a button standing for it.
        co::ItemPtr item;
        if (const auto found = panelItems_.find(identifier); found != panelItems_.end()) {
            item = found->second;
        } else {
            auto button = std::make_shared<co::COSettingsButtonItem>();
            button->setIdentifier(identifier);
            item = std::move(button);
        }
        ErrorSlot error(noErrorOut(request));
        Callbacks callbacks;
        const bool ok = loader_.settings()->handleEvent(event, item, error.out(), callbacks.block());
        drainMainQueue();
        co::Value out = reply("handleEvent", ok);
        out["callbacks"] = callbacks.calls;
        error.addTo(out);
        return out;
    }

    co::Value settingsForAction(const co::Value& request) {
        const auto target = action(request);
        const auto& settings = objectMember(request, "settings");
        ErrorSlot error(noErrorOut(request));
        const auto groups = loader_.publishing()->settingsForAction(target, settings, error.out());
        drainMainQueue();
        co::Value out = reply("settingsForAction", groups.has_value());
        if (groups) {
            co::Value list = co::Value::array();
            for (const auto& group : *groups) {
                if (group) {
                    list.push_back(groupToJson(*group));
                }
            }
            out["groups"] = std::move(list);
        }
        error.addTo(out);
        return out;
    }

    co::Value didUpdateActionValue(const co::Value& request) {
        const auto& value = member(request, "value");
        const auto setting = stringMember(request, "setting");
        const auto target = action(request);
        const auto& settings = objectMember(request, "settings");
        ErrorSlot error(noErrorOut(request));
        std::uint64_t callbackAction = 0;
        const bool ok =
            loader_.publishing()->didUpdateValue(value, setting, target, settings, &callbackAction, error.out());
        drainMainQueue();
        co::Value out = reply("didUpdateActionValue", ok);
        out["callbackAction"] = callbackAction;
        error.addTo(out);
        return out;
    }

    co::Value validateSettings(const co::Value& request) {
        const auto& settings = objectMember(request, "settings");
        const auto target = action(request);
        ErrorSlot error(noErrorOut(request));
        const bool ok = loader_.publishing()->validateSettings(settings, target, error.out());
        drainMainQueue();
        co::Value out = reply("validateSettings", ok);
        error.addTo(out);
        return out;
    }

    co::Value processingSettingsForAction(const co::Value& request) {
        const auto target = action(request);
        ErrorSlot error(noErrorOut(request));
        const auto settings = loader_.publishing()->processingSettingsForAction(target, error.out());
        drainMainQueue();
        co::Value out = reply("processingSettingsForAction", settings.has_value());
        if (settings) {
            out["settings"] = *settings;
        }
        error.addTo(out);
        return out;
    }

    co::Value processingSettingsVisibilityForAction(const co::Value& request) {
        const auto target = action(request);
        const std::uint64_t visibility = loader_.publishing()->processingSettingsVisibilityForAction(target);
        drainMainQueue();
        co::Value out = reply("processingSettingsVisibilityForAction", true);
        out["visibility"] = visibility;
        return out;
    }

    co::Value preferences(const co::Value& /*request*/) {
        co::Value values = co::Value::object();
        for (const auto& [key, value] : platform::PreferenceStore::standard().dictionary()) {
            values[key] = value;
        }
        co::Value out = reply("preferences", true);
        out["preferences"] = std::move(values);
        return out;
    }

    co::Value restart(const co::Value& /*request*/) {
        panelItems_.clear();
        std::string problem;
        if (!loader_.createInstance(problem)) {
            throw BadRequest("the plugin could not be created again: " + problem);
        }
        return reply("restart", true);
    }

    PluginLoader& loader_;
    ProtocolWriter& writer_;
    co::ActionPtr held_;
    std::map<std::string, co::ItemPtr> panelItems_;
    std::map<std::string, std::function<co::Value(const co::Value&)>> handlers_;
};

}  // namespace

int runDrive(const HostOptions& options) {
    // Standard output carries only protocol lines: keep it on a private descriptor and send
    // whatever anything else prints there to standard error.
    const int protocolFd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (protocolFd < 0 || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        std::fprintf(stderr, "galvoria-host: cannot set up the protocol channel\n");
        return 2;
    }

    std::string problem;
    auto loader = prepareHost(options, problem);
    if (!loader) {
        std::fprintf(stderr, "galvoria-host: %s\n", problem.c_str());
        return 2;
    }

    ProtocolWriter writer(protocolFd);
    int status = 0;
    // Entry points are called on this worker thread; the main thread serves the main queue.
    std::thread worker;
    auto serve = [&] {
        std::string problemText;
        if (!loader->createInstance(problemText)) {
            std::fprintf(stderr, "galvoria-host: %s\n", problemText.c_str());
            status = 2;
        } else {
            Driver driver(*loader, writer);
            std::string line;
            while (std::getline(std::cin, line)) {
                driver.handleLine(std::move(line));
                line.clear();
            }
            loader->releaseInstance();
        }
        platform::MainQueue::shared().stop();
    };
    // The worker starts once the main thread serves the queue, so its first call finds it served.
    platform::MainQueue::shared().async([&] { worker = std::thread(serve); });
    platform::MainQueue::shared().run();
    worker.join();
    std::fflush(nullptr);
    // Exit at once: nothing the plugin library left running may hold the process up.
    std::_Exit(status);
}

}  // namespace galvoria::host
