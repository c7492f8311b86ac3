#pragma once
// Where the publish options say the files go, read once from the host's values: the workspace, and
// for the folder and the project either an existing entry or a new one to create by name.

#include <optional>
#include <string>
#include <string_view>

#include "framework/Value.hpp"

namespace galvoria {

// The host's value under `key` when it is a string; no value when it is missing or of another type
// (or when `settings` is not a dictionary at all).
std::optional<std::string> stringSetting(const co::Value& settings, std::string_view key);

// One list's choice: the identifier of an existing entry, or "create new" with the name to give it.
struct ListChoice {
    std::string value;  // the list's value; a missing or non-string choice means "create new"
    std::string newName;

    [[nodiscard]] bool createsNew() const;
    // An existing entry needs an identifier, a new one a name; only emptiness is tested.
    [[nodiscard]] bool isUsable() const { return createsNew() ? !newName.empty() : !value.empty(); }
};

struct DestinationChoice {
    std::optional<std::string> workspaceId;
    ListChoice folder;
    ListChoice project;

    static DestinationChoice fromOptions(const co::Value& settings);
};

}  // namespace galvoria
