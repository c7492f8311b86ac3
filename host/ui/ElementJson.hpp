#pragma once
// The plugin's element trees as the page receives them: the drive protocol's shapes, with every
// secure text field sent without its value, so a stored password never reaches the page.

#include <optional>
#include <vector>

#include "framework/CaptureOnePlugins.hpp"

namespace galvoria::host::ui {

// The groups as a JSON array (null groups left out); an empty array for none.
co::Value pageGroupsJson(const std::optional<std::vector<co::GroupPtr>>& groups);

}  // namespace galvoria::host::ui
