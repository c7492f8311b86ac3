#include "host/Drive.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <map>
#include <mutex>
#include <stdexcept>
#include <variant>

#include "host/DriveRequest.hpp"
#include "host/HostObjects.hpp"
#include "host/PluginSession.hpp"
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
class ErrorSlot {
public:
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

co::Value reply(std::string_view call, bool ok) {
    co::Value out = co::Value::object();
    out["reply"] = call;
    out["ok"] = ok;
    return out;
}

// What one call answers: whether the entry point succeeded and the members its reply carries
// after "ok", in order. The error the plugin left, if any, follows them.
struct Answer {
    bool ok = true;
    co::Value members = co::Value::object();
};

// The answer of a call that returns a list of objects: ok when it returned one, and the list (its
// null entries left out) as the reply's `member`.
template <typename Each>
Answer listAnswer(const std::optional<std::vector<std::shared_ptr<Each>>>& objects, const char* member,
                  co::Value (*toJson)(const Each&)) {
    Answer answer{objects.has_value()};
    if (objects) {
        co::Value list = co::Value::array();
        for (const auto& each : *objects) {
            if (each) {
                list.push_back(toJson(*each));
            }
        }
        answer.members[member] = std::move(list);
    }
    return answer;
}

co::Value callbacksJson(const SettingsOutcome& outcome) {
    co::Value calls = co::Value::array();
    for (const auto& each : outcome.callbacks) {
        co::Value call = co::Value::object();
        call["code"] = each.code;
        if (each.value) {
            call["value"] = *each.value;
        }
        calls.push_back(std::move(call));
    }
    return calls;
}

// Serves the protocol's calls, each one entry point of the session.
class Driver {
public:
    Driver(PluginSession& session, ProtocolWriter& writer) : session_(session), writer_(writer) {}

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
            out = serve(std::get<DriveRequest>(parsed));
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
    using Handler = Answer (Driver::*)(const DriveRequest&, co::ErrorOut);

    // Every call of the protocol and its handler. The request's members were checked when its
    // line was read.
    static const std::map<std::string_view, Handler>& handlers() {
        static const std::map<std::string_view, Handler> table = {
            {"publishingActionsFileCount", &Driver::publishingActionsFileCount},
            {"tasksForAction", &Driver::tasksForAction},
            {"startPublishingTask", &Driver::startPublishingTask},
            {"settingsWithError", &Driver::settingsWithError},
            {"didUpdateValue", &Driver::didUpdateValue},
            {"handleEvent", &Driver::handleEvent},
            {"settingsForAction", &Driver::settingsForAction},
            {"didUpdateActionValue", &Driver::didUpdateActionValue},
            {"validateSettings", &Driver::validateSettings},
            {"processingSettingsForAction", &Driver::processingSettingsForAction},
            {"processingSettingsVisibilityForAction", &Driver::processingSettingsVisibilityForAction},
            {"preferences", &Driver::preferences},
            {"restart", &Driver::restart},
        };
        return table;
    }

    co::Value serve(const DriveRequest& request) {
        const auto handler = handlers().find(request.call);
        if (handler == handlers().end()) {
            throw BadRequest("unknown call \"" + request.call + "\"");
        }
        ErrorSlot error(request.noErrorOut);
        auto answer = (this->*handler->second)(request, error.out());
        co::Value out = reply(request.call, answer.ok);
        for (auto& [name, member] : answer.members.items()) {
            out[name] = std::move(member);
        }
        error.addTo(out);
        return out;
    }

    co::ActionPtr heldPublishAction() {
        if (!held_) {
            const auto actions = session_.publishingActions(1, nullptr);
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

    Answer publishingActionsFileCount(const DriveRequest& request, co::ErrorOut error) {
        const auto actions = session_.publishingActions(request.fileCount, error);
        if (actions && !held_ && !actions->empty()) {
            held_ = actions->front();
        }
        return listAnswer(actions, "actions", &actionToJson);
    }

    Answer tasksForAction(const DriveRequest& request, co::ErrorOut error) {
        return listAnswer(session_.tasks(action(request), request.files, error), "tasks", &taskToJson);
    }

    Answer startPublishingTask(const DriveRequest& request, co::ErrorOut error) {
        if (!request.task) {
            throw BadRequest("missing member \"task\"");
        }
        const auto target = actionFrom(request.task->action);
        const auto cancelAfter = request.cancelAfter;
        auto task = std::make_shared<co::COFileHandlingPluginTask>(target, request.task->files);
        task->setSettings(request.task->settings);
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
        const auto result = session_.publish(task, error, progress);
        Answer answer{result != nullptr};
        if (result) {
            answer.members["result"] = resultToJson(*result);
        }
        return answer;
    }

    Answer settingsWithError(const DriveRequest& /*request*/, co::ErrorOut error) {
        const auto groups = session_.settings(error);
        if (groups) {
            // The items shown now are the ones later events name.
            panelItems_.clear();
            for (const auto& group : *groups) {
                if (!group) {
                    continue;
                }
                for (const auto& element : group->elements()) {
                    if (element && element->identifier()) {
                        panelItems_[*element->identifier()] = element;
                    }
                }
            }
        }
        return listAnswer(groups, "groups", &groupToJson);
    }

    Answer didUpdateValue(const DriveRequest& request, co::ErrorOut error) {
        const auto outcome = session_.updateValue(request.value, request.setting, error);
        Answer answer{outcome.ok};
        answer.members["callbacks"] = callbacksJson(outcome);
        return answer;
    }

    Answer handleEvent(const DriveRequest& request, co::ErrorOut error) {
        // The item the host shows under that identifier, or a button standing for it.
        co::ItemPtr item;
        if (const auto found = panelItems_.find(request.item); found != panelItems_.end()) {
            item = found->second;
        } else {
            auto button = std::make_shared<co::COSettingsButtonItem>();
            button->setIdentifier(request.item);
            item = std::move(button);
        }
        const auto outcome = session_.handleEvent(request.event, item, error);
        Answer answer{outcome.ok};
        answer.members["callbacks"] = callbacksJson(outcome);
        return answer;
    }

    Answer settingsForAction(const DriveRequest& request, co::ErrorOut error) {
        return listAnswer(session_.actionSettings(action(request), request.settings, error), "groups", &groupToJson);
    }

    Answer didUpdateActionValue(const DriveRequest& request, co::ErrorOut error) {
        const auto target = action(request);
        const auto outcome =
            session_.updateActionValue(request.value, request.setting, target, request.settings, error);
        Answer answer{outcome.ok};
        answer.members["callbackAction"] = outcome.callbackAction;
        return answer;
    }

    Answer validateSettings(const DriveRequest& request, co::ErrorOut error) {
        return Answer{session_.validate(request.settings, action(request), error)};
    }

    Answer processingSettingsForAction(const DriveRequest& request, co::ErrorOut error) {
        const auto settings = session_.processingSettings(action(request), error);
        Answer answer{settings.has_value()};
        if (settings) {
            answer.members["settings"] = *settings;
        }
        return answer;
    }

    // This entry point takes no error out-parameter.
    Answer processingSettingsVisibilityForAction(const DriveRequest& request, co::ErrorOut /*error*/) {
        Answer answer;
        answer.members["visibility"] = session_.processingSettingsVisibility(action(request));
        return answer;
    }

    Answer preferences(const DriveRequest& /*request*/, co::ErrorOut /*error*/) {
        co::Value values = co::Value::object();
        for (const auto& [key, value] : platform::PreferenceStore::standard().dictionary()) {
            values[key] = value;
        }
        Answer answer;
        answer.members["preferences"] = std::move(values);
        return answer;
    }

    Answer restart(const DriveRequest& /*request*/, co::ErrorOut /*error*/) {
        panelItems_.clear();
        std::string problem;
        if (!session_.restart(problem)) {
            throw BadRequest("the plugin could not be created again: " + problem);
        }
        return {};
    }

    PluginSession& session_;
    ProtocolWriter& writer_;
    co::ActionPtr held_;
    std::map<std::string, co::ItemPtr> panelItems_;
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

    ProtocolWriter writer(protocolFd);
    const int status = runWithPlugin(options, [&writer](PluginSession& session) {
        Driver driver(session, writer);
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
        return writer.closed() ? outputClosedStatus : 0;
    });
    std::fflush(nullptr);
    // Exit at once: nothing the plugin library left running may hold the process up.
    std::_Exit(status);
}

}  // namespace galvoria::host
