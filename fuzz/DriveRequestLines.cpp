// Any line as a request of `galvoria-host drive`: what is accepted carries exactly the line's
// members, what is refused gets a message that can be written back, and nothing the host would go
// on to copy or write is nested deep enough to exhaust a thread's stack.

#include <algorithm>

#include "framework/JsonDecoding.hpp"
#include "fuzz/FuzzChecks.hpp"
#include "host/DriveRequest.hpp"

namespace galvoria::fuzz {
namespace {

using host::ActionRequest;
using host::DriveRequest;

constexpr std::size_t deepestAccepted = 128;

bool isBlank(std::string_view line) {
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line.find_first_not_of(" \t") == std::string_view::npos;
}

// The number of nested containers, counted without recursion.
std::size_t depthOf(const co::Value& root) {
    std::size_t deepest = 0;
    std::vector<std::pair<const co::Value*, std::size_t>> pending = {{&root, 0}};
    while (!pending.empty()) {
        const auto [value, depth] = pending.back();
        pending.pop_back();
        if (!value->is_structured()) {
            continue;
        }
        deepest = std::max(deepest, depth + 1);
        for (const auto& child : *value) {
            pending.emplace_back(&child, depth + 1);
        }
    }
    return deepest;
}

bool sameAction(const co::Value& json, const ActionRequest& action) {
    if (json.is_string()) {
        return action.held && json == "publish";
    }
    return !action.held && json.is_object() && json.value("displayName", co::Value()) == action.displayName &&
           json.value("identifier", co::Value()) == action.identifier;
}

bool sameFiles(const co::Value& json, const std::vector<std::string>& files) {
    return json.is_array() && json.size() == files.size() &&
           std::equal(files.begin(), files.end(), json.begin(),
                      [](const std::string& file, const co::Value& element) { return element == file; });
}

// The members of an accepted request against those of its line.
Finding compare(const co::Value& line, const DriveRequest& request) {
    if (line.value("call", co::Value()) != request.call) {
        return "the call differs";
    }
    const auto& calls = host::knownCalls();
    if (std::find(calls.begin(), calls.end(), request.call) == calls.end()) {
        return "an unknown call was accepted";
    }
    // Calls without an error out-parameter do not read "noErrorOut"; the others refuse a non-boolean.
    const bool readsNoErrorOut = request.call != "processingSettingsVisibilityForAction" &&
                                 request.call != "preferences" && request.call != "restart";
    const auto noErrorOut = line.value("noErrorOut", co::Value(false));
    if (readsNoErrorOut && (!noErrorOut.is_boolean() || request.noErrorOut != noErrorOut.get<bool>())) {
        return "noErrorOut differs";
    }
    // Calls that take no action ignore an "action" member.
    const bool readsAction = request.call == "tasksForAction" || request.call == "settingsForAction" ||
                             request.call == "didUpdateActionValue" || request.call == "validateSettings" ||
                             request.call == "processingSettingsForAction" ||
                             request.call == "processingSettingsVisibilityForAction";
    if (readsAction != request.action.has_value() || (readsAction && !sameAction(line["action"], *request.action))) {
        return "the action differs";
    }
    if (request.call == "publishingActionsFileCount" && line["fileCount"] != request.fileCount) {
        return "fileCount differs";
    }
    if (request.call == "handleEvent" && (line["event"] != request.event || line["item"] != request.item)) {
        return "event or item differs";
    }
    if (request.call == "tasksForAction" && !sameFiles(line["files"], request.files)) {
        return "files differ";
    }
    if ((request.call == "didUpdateValue" || request.call == "didUpdateActionValue") &&
        (line["value"] != request.value || line["setting"] != request.setting)) {
        return "value or setting differs";
    }
    if ((request.call == "settingsForAction" || request.call == "didUpdateActionValue" ||
         request.call == "validateSettings") &&
        line["settings"] != request.settings) {
        return "settings differ";
    }
    if (request.call == "startPublishingTask") {
        if (!request.task) {
            return "the task is missing";
        }
        const auto& task = line["task"];
        if (!sameAction(task["action"], request.task->action)) {
            return "the task's action differs";
        }
        const auto files = task.value("files", co::Value());
        if (files.is_null() != !request.task->files || (!files.is_null() && !sameFiles(files, *request.task->files))) {
            return "the task's files differ";
        }
        const auto settings = task.value("settings", co::Value());
        if (settings.is_null() != !request.task->settings ||
            (!settings.is_null() && settings != *request.task->settings)) {
            return "the task's settings differ";
        }
        if (line.contains("cancelAfter") != request.cancelAfter.has_value() ||
            (request.cancelAfter && line["cancelAfter"] != *request.cancelAfter)) {
            return "cancelAfter differs";
        }
    }
    return std::nullopt;
}

}  // namespace

Finding checkDriveRequest(std::string_view input) {
    // The host reads one line at a time.
    const auto line = input.substr(0, input.find('\n'));
    try {
        const auto parsedLine = host::parseRequestLine(line);
        if (std::holds_alternative<host::BlankLine>(parsedLine) != isBlank(line)) {
            return "a line was taken for blank or not blank wrongly";
        }
        if (const auto* refused = std::get_if<host::MalformedRequest>(&parsedLine)) {
            if (refused->message.empty()) {
                return "a refusal without a message";
            }
            // The message goes back in a reply line, which must be valid JSON text.
            (void)co::Value(refused->message).dump();
            return std::nullopt;
        }
        if (const auto* request = std::get_if<DriveRequest>(&parsedLine)) {
            const co::Value json = co::decodeJson(line).value;
            if (json.is_discarded() || !json.is_object()) {
                return "a line that is not a JSON object was accepted";
            }
            if (depthOf(json) > deepestAccepted) {
                return "a request nested deeper than " + std::to_string(deepestAccepted) + " levels was accepted";
            }
            // What the host does with an accepted request's values: copy them and write them out.
            const co::Value copy = request->value;
            (void)copy.dump();
            (void)co::Value(request->settings).dump();
            return compare(json, *request);
        }
        return std::nullopt;
    } catch (const std::exception& error) {
        return std::string("reading a request line threw: ") + error.what();
    }
}

}  // namespace galvoria::fuzz
