#pragma once
// Running a publishing task: create the requested folder and project, upload every file, report
// progress after each, and return the link to the project's library page.

#include "framework/PluginProtocols.hpp"
#include "service/Network.hpp"
#include "vocabulary/Preferences.hpp"

namespace galvoria::publishing {

// The folder and project are created through `client`, which also signs and completes every upload
// and reaches the storage; what a publish created is remembered in `preferences`.
co::PublishResultPtr startPublishingTask(const Network& client, Preferences& preferences, const co::TaskPtr& task,
                                         co::ErrorOut error, const co::ProgressBlock& progress);

}  // namespace galvoria::publishing
