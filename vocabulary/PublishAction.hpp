#pragma once
// The publish action, created once per process, and the plugin's own bundle.

#include <optional>
#include <string>

#include "framework/PluginAction.hpp"
#include "platform/Bundle.hpp"

namespace galvoria {

inline constexpr const char* publishActionDisplayName = "Publish to galvoria";

// The bundle that holds the plugin's code (not the host's); no value outside a bundle.
const std::optional<platform::Bundle>& pluginBundle();
// The plugin bundle's identifier, or "Velbrook" when the bundle has none.
std::string bundleIdentifierOrFallback();

// The one publish action, created at its first use (once, even when threads race to it).
const co::ActionPtr& publishAction();
bool isPublishAction(const co::ActionPtr& action);

}  // namespace galvoria
