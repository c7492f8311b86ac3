#pragma once
// Ctrl-C while the host runs a command. During a publish the first interrupt sets the task's
// cancelled flag, so the file being sent is finished and nothing more is sent; during a login the
// first one lets the exchange with the service end, so what it left in the store can be tidied. A
// second one, or one at any other moment, ends the process at once with status 130, after the
// tidying a scope asks for.

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

// While it lives, the first interrupt only calls `onFirst` (on the watching thread) and lets the
// command finish what it is doing. A second interrupt, or SIGTERM, calls `cleanUp` (on the watching
// thread, while the command may still be running) and then ends the process at once.
class FinishScope {
public:
    FinishScope(std::function<void()> onFirst, std::function<void()> cleanUp);
    ~FinishScope();
    FinishScope(const FinishScope&) = delete;
    FinishScope& operator=(const FinishScope&) = delete;

    // Whether an interrupt came while the scope lived.
    [[nodiscard]] bool interrupted() const;
};

// While it lives, the first SIGINT or SIGTERM only calls `onStop` (on the watching thread): a
// server stops serving and finishes what it is doing. A second one calls `cleanUp` and ends the
// process at once with status 130.
class StopScope {
public:
    StopScope(std::function<void()> onStop, std::function<void()> cleanUp);
    ~StopScope();
    StopScope(const StopScope&) = delete;
    StopScope& operator=(const StopScope&) = delete;

    // Whether a signal came while the scope lived.
    [[nodiscard]] bool stopped() const;
};

}  // namespace galvoria::host::interrupts
