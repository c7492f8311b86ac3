#include "host/DriveRequest.hpp"

#include <functional>
#include <map>

#include "framework/JsonDecoding.hpp"

namespace galvoria::host {
namespace {

// Containers nested deeper than this are refused. Copying and writing a JSON value recurses once
// per level, so a line of a few hundred kilobytes of "[" would otherwise exhaust the stack of the
// thread that handles it; no request of the protocol comes near this depth.
constexpr std::size_t maximumNestingDepth = 128;

// What is wrong with a request; nothing when the member was read.
using Problem = std::optional<std::string>;

std::string quoted(const char* name) { return std::string("\"") + name + "\""; }

Problem find(const co::Value& object, const char* name, const co::Value*& out) {
    const auto found = object.find(name);
    if (found == object.end()) {
        return "missing member " + quoted(name);
    }
    out = &*found;
    return std::nullopt;
}

// Reads member `name` into `out` when `accepts` holds for it (any value when null); otherwise
// "member NAME must be WHAT".
template <typename Out>
Problem readMember(const co::Value& object, const char* name, Out& out,
                   bool (co::Value::*accepts)() const noexcept = nullptr, const char* what = nullptr) {
    const co::Value* value = nullptr;
    if (auto problem = find(object, name, value)) {
        return problem;
    }
    if (accepts != nullptr && !((*value).*accepts)()) {
        return "member " + quoted(name) + " must be " + what;
    }
    out = value->get<Out>();
    return std::nullopt;
}

Problem readValue(const co::Value& object, const char* name, co::Value& out) { return readMember(object, name, out); }

Problem readString(const co::Value& object, const char* name, std::string& out) {
    return readMember(object, name, out, &co::Value::is_string, "a string");
}

Problem readCount(const co::Value& object, const char* name, std::uint64_t& out) {
    return readMember(object, name, out, &co::Value::is_number_unsigned, "an integer of at least 0");
}

Problem readObject(const co::Value& object, const char* name, co::Value& out) {
    return readMember(object, name, out, &co::Value::is_object, "an object");
}

Problem readStringList(const co::Value& value, const char* name, std::vector<std::string>& out) {
    const auto problem = "member " + quoted(name) + " must be an array of strings";
    if (!value.is_array()) {
        return problem;
    }
    out.clear();
    out.reserve(value.size());
    for (const auto& element : value) {
        if (!element.is_string()) {
            return problem;
        }
        out.push_back(element.get<std::string>());
    }
    return std::nullopt;
}

Problem readNoErrorOut(const co::Value& object, bool& out) {
    const auto found = object.find("noErrorOut");
    if (found == object.end()) {
        out = false;
        return std::nullopt;
    }
    if (!found->is_boolean()) {
        return std::string("member \"noErrorOut\" must be a boolean");
    }
    out = found->get<bool>();
    return std::nullopt;
}

Problem readActionValue(const co::Value& value, ActionRequest& out) {
    if (value.is_string()) {
        if (value.get<std::string>() == "publish") {
            out.held = true;
            return std::nullopt;
        }
        return "unknown action \"" + value.get<std::string>() + "\"";
    }
    if (value.is_object()) {
        if (auto problem = readString(value, "displayName", out.displayName)) {
            return problem;
        }
        return readString(value, "identifier", out.identifier);
    }
    return std::string("member \"action\" must be \"publish\" or an object with \"displayName\" and \"identifier\"");
}

Problem readAction(const co::Value& object, std::optional<ActionRequest>& out) {
    const co::Value* value = nullptr;
    if (auto problem = find(object, "action", value)) {
        return problem;
    }
    ActionRequest action;
    if (auto problem = readActionValue(*value, action)) {
        return problem;
    }
    out = std::move(action);
    return std::nullopt;
}

Problem readTask(const co::Value& request, std::optional<TaskRequest>& out) {
    co::Value description;
    if (auto problem = readObject(request, "task", description)) {
        return problem;
    }
    TaskRequest task;
    const co::Value* action = nullptr;
    if (auto problem = find(description, "action", action)) {
        return problem;
    }
    if (auto problem = readActionValue(*action, task.action)) {
        return problem;
    }
    if (const auto found = description.find("files"); found != description.end() && !found->is_null()) {
        std::vector<std::string> files;
        if (auto problem = readStringList(*found, "files", files)) {
            return problem;
        }
        task.files = std::move(files);
    }
    if (const auto found = description.find("settings"); found != description.end() && !found->is_null()) {
        if (!found->is_object()) {
            return std::string("member \"settings\" of \"task\" must be an object or null");
        }
        task.settings = *found;
    }
    out = std::move(task);
    return std::nullopt;
}

// Each call's members, read in the order the call uses them: the first problem found is reported.
using CallReader = std::function<Problem(const co::Value&, DriveRequest&)>;

const std::map<std::string_view, CallReader>& callReaders() {
    static const std::map<std::string_view, CallReader> readers = {
        {"publishingActionsFileCount",
         [](const co::Value& r, DriveRequest& out) -> Problem {
             if (auto problem = readCount(r, "fileCount", out.fileCount)) {
                 return problem;
             }
             return readNoErrorOut(r, out.noErrorOut);
         }},
        {"tasksForAction",
         [](const co::Value& r, DriveRequest& out) -> Problem {
             if (auto problem = readAction(r, out.action)) {
                 return problem;
             }
             const co::Value* files = nullptr;
             if (auto problem = find(r, "files", files)) {
                 return problem;
             }
             if (auto problem = readStringList(*files, "files", out.files)) {
                 return problem;
             }
             return readNoErrorOut(r, out.noErrorOut);
         }},
        {"startPublishingTask",
         [](const co::Value& r, DriveRequest& out) -> Problem {
             if (auto problem = readTask(r, out.task)) {
                 return problem;
             }
             if (r.contains("cancelAfter")) {
                 std::uint64_t cancelAfter = 0;
                 if (auto problem = readCount(r, "cancelAfter", cancelAfter)) {
                     return problem;
                 }
                 out.cancelAfter = cancelAfter;
             }
             return readNoErrorOut(r, out.noErrorOut);
         }},
        {"settingsWithError",
         [](const co::Value& r, DriveRequest& out) -> Problem { return readNoErrorOut(r, out.noErrorOut); }},
        {"didUpdateValue",
         [](const co::Value& r, DriveRequest& out) -> Problem {
             if (auto problem = readValue(r, "value", out.value)) {
                 return problem;
             }
             if (auto problem = readString(r, "setting", out.setting)) {
                 return problem;
             }
             return readNoErrorOut(r, out.noErrorOut);
         }},
        {"handleEvent",
         [](const co::Value& r, DriveRequest& out) -> Problem {
             if (auto problem = readCount(r, "event", out.event)) {
                 return problem;
             }
             if (auto problem = readString(r, "item", out.item)) {
                 return problem;
             }
             return readNoErrorOut(r, out.noErrorOut);
         }},
        {"settingsForAction",
         [](const co::Value& r, DriveRequest& out) -> Problem {
             if (auto problem = readAction(r, out.action)) {
                 return problem;
             }
             if (auto problem = readObject(r, "settings", out.settings)) {
                 return problem;
             }
             return readNoErrorOut(r, out.noErrorOut);
         }},
        {"didUpdateActionValue",
         [](const co::Value& r, DriveRequest& out) -> Problem {
             if (auto problem = readValue(r, "value", out.value)) {
                 return problem;
             }
             if (auto problem = readString(r, "setting", out.setting)) {
                 return problem;
             }
             if (auto problem = readAction(r, out.action)) {
                 return problem;
             }
             if (auto problem = readObject(r, "settings", out.settings)) {
                 return problem;
             }
             return readNoErrorOut(r, out.noErrorOut);
         }},
        {"validateSettings",
         [](const co::Value& r, DriveRequest& out) -> Problem {
             if (auto problem = readObject(r, "settings", out.settings)) {
                 return problem;
             }
             if (auto problem = readAction(r, out.action)) {
                 return problem;
             }
             return readNoErrorOut(r, out.noErrorOut);
         }},
        {"processingSettingsForAction",
         [](const co::Value& r, DriveRequest& out) -> Problem {
             if (auto problem = readAction(r, out.action)) {
                 return problem;
             }
             return readNoErrorOut(r, out.noErrorOut);
         }},
        // This entry point has no error out-parameter, so "noErrorOut" is not read.
        {"processingSettingsVisibilityForAction",
         [](const co::Value& r, DriveRequest& out) -> Problem { return readAction(r, out.action); }},
        {"preferences", [](const co::Value&, DriveRequest&) -> Problem { return std::nullopt; }},
        {"restart", [](const co::Value&, DriveRequest&) -> Problem { return std::nullopt; }},
    };
    return readers;
}

}  // namespace

const std::vector<std::string_view>& knownCalls() {
    static const std::vector<std::string_view> calls = [] {
        std::vector<std::string_view> out;
        for (const auto& [name, reader] : callReaders()) {
            out.push_back(name);
        }
        return out;
    }();
    return calls;
}

ParsedLine parseRequestLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    if (line.find_first_not_of(" \t") == std::string_view::npos) {
        return BlankLine{};
    }

    const co::DecodedJson decoded = co::decodeJson(line, {.maximumDepth = maximumNestingDepth});
    if (decoded.failure == co::JsonFailure::tooDeep || decoded.failure == co::JsonFailure::tooLarge) {
        return MalformedRequest{"the request " + decoded.problem()};
    }
    const co::Value& request = decoded.value;
    if (!decoded.ok() || !request.is_object()) {
        return MalformedRequest{"the request is not a JSON object"};
    }
    const auto call = request.find("call");
    if (call == request.end() || !call->is_string()) {
        return MalformedRequest{"the request has no string member \"call\""};
    }
    const auto name = call->get<std::string>();
    const auto reader = callReaders().find(name);
    if (reader == callReaders().end()) {
        return MalformedRequest{"unknown call \"" + name + "\""};
    }
    DriveRequest parsed;
    parsed.call = name;
    if (auto problem = reader->second(request, parsed)) {
        return MalformedRequest{std::move(*problem)};
    }
    return parsed;
}

}  // namespace galvoria::host
