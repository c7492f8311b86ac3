#pragma once
// Running a publishing task: create the requested folder and project, upload every file, report
// progress after each, and return the link to the project's library page.

#include "framework/PluginProtocols.hpp"
#include "service/Network.hpp"
#include "service/http/Http.hpp"

namespace galvoria::publishing {

co::PublishResultPtr startPublishingTask(const Network& network, const co::TaskPtr& task, co::ErrorOut error,
                                         const co::ProgressBlock& progress);

// The same, with the uploads sent through `session` instead of the plugin's shared session.
co::PublishResultPtr startPublishingTask(const Network& network, http::Session& session, const co::TaskPtr& task,
                                         co::ErrorOut error, const co::ProgressBlock& progress);

}  // namespace galvoria::publishing
