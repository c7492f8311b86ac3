#pragma once
// Reading one input line of `galvoria-host drive`: the line's JSON text becomes a request whose
// members have been checked against what its call needs, or the text of what is wrong with it.
// Nothing here touches the plugin: a request that cannot be served is refused before any entry
// point is called.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "framework/Value.hpp"

namespace galvoria::host {

// How a request names an action: the publish action the host holds ("publish"), or a new action
// built for the request from its display name and identifier.
struct ActionRequest {
    bool held = false;
    std::string displayName;
    std::string identifier;
};

// The "task" member of startPublishingTask. Absent files or settings (missing or null) differ
// from empty ones.
struct TaskRequest {
    ActionRequest action;
    std::optional<std::vector<std::string>> files;
    std::optional<co::Value> settings;
};

// One well-formed request. Only the members its call uses are filled.
struct DriveRequest {
    std::string call;
    bool noErrorOut = false;
    std::uint64_t fileCount = 0;
    std::uint64_t event = 0;
    std::optional<ActionRequest> action;
    std::vector<std::string> files;
    std::optional<TaskRequest> task;
    std::optional<std::uint64_t> cancelAfter;
    co::Value value;
    std::string setting;
    std::string item;
    co::Value settings;
};

// A line holding only blanks: it gets no reply.
struct BlankLine {};

// A line that cannot be served, with the text of its error reply.
struct MalformedRequest {
    std::string message;
};

using ParsedLine = std::variant<BlankLine, DriveRequest, MalformedRequest>;

// Reads one line (without its "\n"; a "\r" before it is accepted).
ParsedLine parseRequestLine(std::string_view line);

// Every call name the protocol knows, in no particular order.
const std::vector<std::string_view>& knownCalls();

}  // namespace galvoria::host
