// Placeholder until publishing lands.
#include "publishing/PublishingTask.hpp"

namespace galvoria::publishing {
co::PublishResultPtr startPublishingTask(const Network&, const co::TaskPtr&, co::ErrorOut, const co::ProgressBlock&) {
    return std::make_shared<co::COPluginActionPublishResult>();
}
}  // namespace galvoria::publishing
