#include "host/Drive.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <variant>

#include "host/DriveRequest.hpp"
#include "host/HostObjects.hpp"
#include "platform/Dispatch.hpp"
#include "platform/FileWrite.hpp"
#include "platform/Log.hpp"
#include "platform/PreferenceStore.hpp"

namespace galvoria::host {
namespace {

// A request the host cannot pass to the plugin; its text goes back in an error reply.
class BadRequest : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The longest request line the host reads; a longer one is skipped to its end without being kept
// and answered with an error reply.
constexpr std::size_t maximumLineBytes = std::size_t{16} << 20U;

// Writes protocol lines to the descriptor that was standard output when the host started. Once a
// write fails (the reader closed the pipe, say) the output counts as closed and nothing more is
// written.
class ProtocolWriter {
public:
    explicit ProtocolWriter(int fd) : fd_(fd) {}

    // False when the line could not be written.
    bool write(const co::Value& line) {
        std::string text = line.dump(-1, ' ', false, co::Value::error_handler_t::replace);
        text += '\n';
        std::lock_guard lock(mutex_);
        if (!closed_ && !platform::writeAll(fd_, text)) {
            closed_ = true;
            platform::log::line("The protocol output is closed: the host stops after the call in progress.");
        }
        return !closed_;
    }

    bool closed() {
        std::lock_guard lock(mutex_);
        return closed_;
    }

private:
    int fd_;
    std::mutex mutex_;
    bool closed_ = false;
};

// Reads standard input one line at a time, holding at most maximumLineBytes of a line.
class LineReader {
public:
    enum class Next { line, overlong, end };

    explicit LineReader(int fd) : fd_(fd) {}

    // The next line without its "\n"; a last line without one counts too.
    Next next(std::string& line) {
        line.clear();
        bool overlong = false;
        for (;;) {
            const std::size_t end = buffer_.find('\n', start_);
            const std::size_t stop = end == std::string::npos ? buffer_.size() : end;
            if (!overlong) {
                line.append(buffer_, start_, stop - start_);
                if (line.size() > maximumLineBytes) {
                    overlong = true;
                    std::string().swap(line);
                }
            }
            if (end != std::string::npos) {
                start_ = end + 1;
                return overlong ? Next::overlong : Next::line;
            }
            buffer_.clear();
            start_ = 0;
            if (ended_ || !fill()) {
                ended_ = true;
                return overlong ? Next::overlong : line.empty() ? Next::end : Next::line;
            }
        }
    }

private:
    // False at the end of input (or when it cannot be read).
    bool fill() {
        constexpr std::size_t chunkBytes = 64 * 1024;
        buffer_.resize(chunkBytes);
        for (;;) {
            const ssize_t got = ::read(fd_, buffer_.data(), chunkBytes);
            if (got < 0 && errno == EINTR) {
                continue;
            }
            buffer_.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
            return got > 0;
        }
    }

    int fd_;
    std::string buffer_;
    std::size_t start_ = 0;
    bool ended_ = false;
};

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
            {"publishingActionsFileCount", [this](const DriveRequest& r) { return publishingActionsFileCount(r); }},
            {"tasksForAction", [this](const DriveRequest& r) { return tasksForAction(r); }},
            {"startPublishingTask", [this](const DriveRequest& r) { return startPublishingTask(r); }},
            {"settingsWithError", [this](const DriveRequest& r) { return settingsWithError(r); }},
            {"didUpdateValue", [this](const DriveRequest& r) { return didUpdateValue(r); }},
            {"handleEvent", [this](const DriveRequest& r) { return handleEvent(r); }},
            {"settingsForAction", [this](const DriveRequest& r) { return settingsForAction(r); }},
            {"didUpdateActionValue", [this](const DriveRequest& r) { return didUpdateActionValue(r); }},
            {"validateSettings", [this](const DriveRequest& r) { return validateSettings(r); }},
            {"processingSettingsForAction", [this](const DriveRequest& r) { return processingSettingsForAction(r); }},
            {"processingSettingsVisibilityForAction",
             [this](const DriveRequest& r) { return processingSettingsVisibilityForAction(r); }},
            {"preferences", [this](const DriveRequest& r) { return preferences(r); }},
            {"restart", [this](const DriveRequest& r) { return restart(r); }},
        };
    }

    void handleLine(std::string_view line) {
        const auto parsed = parseRequestLine(line);
        if (std::holds_alternative<BlankLine>(parsed)) {
            return;
        }
        co::Value out;
        try {
            if (const auto* malformed = std::get_if<MalformedRequest>(&parsed)) {
                throw BadRequest(malformed->message);
            }
            const auto& request = std::get<DriveRequest>(parsed);
            const auto handler = handlers_.find(request.call);
            if (handler == handlers_.end()) {
                throw BadRequest("unknown call \"" + request.call + "\"");
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

    void handleOverlongLine() {
        co::Value out = reply("error", false);
        out["message"] = "the request line is longer than " + std::to_string(maximumLineBytes) + " bytes";
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

    co::ActionPtr actionFrom(const ActionRequest& named) {
        if (named.held) {
            return heldPublishAction();
        }
        auto action = std::make_shared<co::COPluginAction>(named.displayName);
        action->setIdentifier(named.identifier);
        return action;
    }

    co::ActionPtr action(const DriveRequest& request) {
        if (!request.action) {
            throw BadRequest("missing member \"action\"");
        }
        return actionFrom(*request.action);
    }

    co::Value publishingActionsFileCount(const DriveRequest& request) {
        const auto count = request.fileCount;
        ErrorSlot error(request.noErrorOut);
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

    co::Value tasksForAction(const DriveRequest& request) {
        const auto target = action(request);
        const auto& files = request.files;
        ErrorSlot error(request.noErrorOut);
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

    co::Value startPublishingTask(const DriveRequest& request) {
        if (!request.task) {
            throw BadRequest("missing member \"task\"");
        }
        const auto target = actionFrom(request.task->action);
        auto files = request.task->files;
        auto settings = request.task->settings;
        const auto cancelAfter = request.cancelAfter;
        ErrorSlot error(request.noErrorOut);

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
            // Nobody reads the events any more: the task stops at the next file boundary.
            if (!writer_.write(event) && reported) {
                reported->setCancelled(true);
            }
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

    co::Value settingsWithError(const DriveRequest& request) {
        ErrorSlot error(request.noErrorOut);
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

    co::Value didUpdateValue(const DriveRequest& request) {
        const auto& value = request.value;
        const auto& setting = request.setting;
        ErrorSlot error(request.noErrorOut);
        Callbacks callbacks;
        const bool ok = loader_.settings()->didUpdateValue(value, setting, error.out(), callbacks.block());
        drainMainQueue();
        co::Value out = reply("didUpdateValue", ok);
        out["callbacks"] = callbacks.calls;
        error.addTo(out);
        return out;
    }

    co::Value handleEvent(const DriveRequest& request) {
        const auto event = request.event;
        const auto& identifier = request.item;
        // The item the host shows under that identifier, or a button standing for it.
        co::ItemPtr item;
        if (const auto found = panelItems_.find(identifier); found != panelItems_.end()) {
            item = found->second;
        } else {
            auto button = std::make_shared<co::COSettingsButtonItem>();
            button->setIdentifier(identifier);
            item = std::move(button);
        }
        ErrorSlot error(request.noErrorOut);
        Callbacks callbacks;
        const bool ok = loader_.settings()->handleEvent(event, item, error.out(), callbacks.block());
        drainMainQueue();
        co::Value out = reply("handleEvent", ok);
        out["callbacks"] = callbacks.calls;
        error.addTo(out);
        return out;
    }

    co::Value settingsForAction(const DriveRequest& request) {
        const auto target = action(request);
        const auto& settings = request.settings;
        ErrorSlot error(request.noErrorOut);
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

    co::Value didUpdateActionValue(const DriveRequest& request) {
        const auto& value = request.value;
        const auto& setting = request.setting;
        const auto target = action(request);
        const auto& settings = request.settings;
        ErrorSlot error(request.noErrorOut);
        std::uint64_t callbackAction = 0;
        const bool ok =
            loader_.publishing()->didUpdateValue(value, setting, target, settings, &callbackAction, error.out());
        drainMainQueue();
        co::Value out = reply("didUpdateActionValue", ok);
        out["callbackAction"] = callbackAction;
        error.addTo(out);
        return out;
    }

    co::Value validateSettings(const DriveRequest& request) {
        const auto& settings = request.settings;
        const auto target = action(request);
        ErrorSlot error(request.noErrorOut);
        const bool ok = loader_.publishing()->validateSettings(settings, target, error.out());
        drainMainQueue();
        co::Value out = reply("validateSettings", ok);
        error.addTo(out);
        return out;
    }

    co::Value processingSettingsForAction(const DriveRequest& request) {
        const auto target = action(request);
        ErrorSlot error(request.noErrorOut);
        const auto settings = loader_.publishing()->processingSettingsForAction(target, error.out());
        drainMainQueue();
        co::Value out = reply("processingSettingsForAction", settings.has_value());
        if (settings) {
            out["settings"] = *settings;
        }
        error.addTo(out);
        return out;
    }

    co::Value processingSettingsVisibilityForAction(const DriveRequest& request) {
        const auto target = action(request);
        const std::uint64_t visibility = loader_.publishing()->processingSettingsVisibilityForAction(target);
        drainMainQueue();
        co::Value out = reply("processingSettingsVisibilityForAction", true);
        out["visibility"] = visibility;
        return out;
    }

    co::Value preferences(const DriveRequest& /*request*/) {
        co::Value values = co::Value::object();
        for (const auto& [key, value] : platform::PreferenceStore::standard().dictionary()) {
            values[key] = value;
        }
        co::Value out = reply("preferences", true);
        out["preferences"] = std::move(values);
        return out;
    }

    co::Value restart(const DriveRequest& /*request*/) {
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
    std::map<std::string, std::function<co::Value(const DriveRequest&)>> handlers_;
};

}  // namespace

int runDrive(const HostOptions& options) {
    // A closed output must fail a write, not end the process mid-exchange. Set before any thread
    // starts, so every thread has it.
    ::signal(SIGPIPE, SIG_IGN);
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
            LineReader reader(STDIN_FILENO);
            std::string line;
            // With the output closed no further request is read: nobody would see its reply.
            while (!writer.closed()) {
                const auto next = reader.next(line);
                if (next == LineReader::Next::end) {
                    break;
                }
                if (next == LineReader::Next::overlong) {
                    driver.handleOverlongLine();
                } else {
                    driver.handleLine(line);
                }
            }
            if (writer.closed()) {
                status = outputClosedStatus;
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
