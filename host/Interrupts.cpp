#include "host/Interrupts.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <mutex>
#include <thread>

#include "host/Terminal.hpp"

namespace galvoria::host::interrupts {
namespace {

struct State {
    std::mutex mutex;
    co::TaskPtr task;
    std::function<void()> onCancel;
    bool cancelled = false;
};

State& state() {
    static State shared;
    return shared;
}

[[noreturn]] void leaveNow() {
    terminal::restoreTerminal();
    terminal::err("\nInterrupted.\n");
    ::_exit(interruptedStatus);
}

void watch(sigset_t signals) {
    for (;;) {
        int received = 0;
        if (::sigwait(&signals, &received) != 0) {
            continue;
        }
        if (received == SIGTERM) {
            // Asked to end: leave at once, with the terminal's echo put back first.
            terminal::restoreTerminal();
            ::_exit(128 + SIGTERM);
        }
        // Under the lock: the scope, and whatever its note refers to, outlives the note.
        std::lock_guard lock(state().mutex);
        if (!state().task || state().cancelled) {
            leaveNow();
        }
        state().cancelled = true;
        state().task->setCancelled(true);
        if (state().onCancel) {
            state().onCancel();
        }
    }
}

}  // namespace

void install() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::thread(watch, signals).detach();
}

CancelScope::CancelScope(co::TaskPtr task, std::function<void()> onCancel) {
    std::lock_guard lock(state().mutex);
    state().task = std::move(task);
    state().onCancel = std::move(onCancel);
    state().cancelled = false;
}

CancelScope::~CancelScope() {
    std::lock_guard lock(state().mutex);
    state().task.reset();
    state().onCancel = nullptr;
}

bool CancelScope::cancelled() const {
    std::lock_guard lock(state().mutex);
    return state().cancelled;
}

}  // namespace galvoria::host::interrupts
