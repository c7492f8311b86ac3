#include "service/Exchange.hpp"

#include "platform/Log.hpp"

namespace galvoria {

bool mayWaitForMainQueue() {
    platform::MainQueue& mainQueue = platform::MainQueue::shared();
    if (mainQueue.isMainThread()) {
        platform::log::line("Service request refused: it was made on the main thread, which must handle its answer.");
        return false;
    }
    if (!mainQueue.isServed()) {
        platform::log::line("Service request refused: no thread serves the main queue to handle its answer.");
        return false;
    }
    return true;
}

}  // namespace galvoria
