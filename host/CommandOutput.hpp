#pragma once
// What every command writes: its failure line, a JSON document, the plugin's error as text and as
// JSON, and the service's links.

#include <string>
#include <string_view>

#include "framework/CaptureOnePlugins.hpp"

namespace galvoria::host {

// The origin of the service the plugin talks to.
std::string serviceOrigin();
// The service's page of a project's library, as the plugin links it.
std::string libraryLink(const std::string& projectId);
// "galvoria-host: TEXT" on standard error.
void failWith(std::string_view text);
// The plugin's error as it gives it: its description, then its failure reason; `fallback` when it
// gives neither.
std::string errorText(const co::Error& error, std::string_view fallback);
co::Value errorJson(const co::Error& error);
// The document on standard output, indented.
void printJson(const co::Value& document);

}  // namespace galvoria::host
