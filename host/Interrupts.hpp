#pragma once
// Ctrl-C while the host runs a command. During a publish the first interrupt sets the task's
// cancelled flag, so the file being sent is finished and nothing more is sent; a second one, or
// one at any other moment, ends the process at once with status 130.

#include <functional>

#include "framework/PluginTask.hpp"

namespace galvoria::host::interrupts {

inline constexpr int interruptedStatus = 130;

// Takes SIGINT (and SIGTERM, which ends the process with the terminal's modes put back) away from
// every thread and answers it on a thread of its own. Call it first in main, before any other
// thread starts, so that all of them inherit the blocked signals.
void install();

// While it lives, the first interrupt cancels `task` and then calls `onCancel` (on the watching
// thread) instead of ending the process.
class CancelScope {
public:
    CancelScope(co::TaskPtr task, std::function<void()> onCancel);
    ~CancelScope();
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

    // Whether an interrupt cancelled the task.
    [[nodiscard]] bool cancelled() const;
};

}  // namespace galvoria::host::interrupts
