#pragma once
// galvoria-host ui: the plugin's panels, the photos and the publish in a page of the person's
// browser, served by the host on 127.0.0.1 until Ctrl-C.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/PluginSession.hpp"

namespace galvoria::host::ui {

struct UiOptions {
    std::vector<std::string> files;  // listed from the start
    std::uint16_t port = 0;          // 0: one the system picks
    bool openBrowser = true;         // with xdg-open, when a display is there
};

// What can be told about the arguments before the plugin is loaded: a problem, or nothing.
std::optional<std::string> checkUi(const UiOptions& options);

// Serves the page until SIGINT or SIGTERM: 0, or 130 when a publish was in flight then.
int runUi(PluginSession& session, const UiOptions& options);

}  // namespace galvoria::host::ui
