#pragma once
// How the host writes the plugin's objects as JSON (actions, tasks, results, settings groups).

#include "framework/CaptureOnePlugins.hpp"

namespace galvoria::host {

co::Value actionToJson(const co::COPluginAction& action);
co::Value taskToJson(const co::COFileHandlingPluginTask& task);
co::Value resultToJson(const co::COPluginActionPublishResult& result);
co::Value groupToJson(const co::COSettingsElementsGroup& group);
co::Value itemToJson(const co::COSettingsItem& item);
co::Value errorToJson(const co::Error& error);

}  // namespace galvoria::host
