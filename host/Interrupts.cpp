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
    bool scoped = false;       // a scope lives: the first interrupt does not end the process
    bool stopsOnTerm = false;  // SIGTERM too is answered by the scope
    co::TaskPtr task;
    std::function<void()> onCancel;
    std::function<void()> cleanUp;
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
        // Under the lock: the scope, and whatever its note refers to, outlives the note.
        std::lock_guard lock(state().mutex);
        const bool term = received == SIGTERM && !state().stopsOnTerm;
        if (term || !state().scoped || state().cancelled) {
            if (state().cleanUp) {
                state().cleanUp();
            }
            if (term) {
                // Asked to end: leave at once, with the terminal's echo put back first.
                terminal::restoreTerminal();
                ::_exit(128 + SIGTERM);
            }
            leaveNow();
        }
        state().cancelled = true;
        if (state().task) {
            state().task->setCancelled(true);
        }
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

namespace {

void enterScope(co::TaskPtr task, std::function<void()> onFirst, std::function<void()> cleanUp,
                bool stopsOnTerm = false) {
    std::lock_guard lock(state().mutex);
    state().scoped = true;
    state().stopsOnTerm = stopsOnTerm;
    state().task = std::move(task);
    state().onCancel = std::move(onFirst);
    state().cleanUp = std::move(cleanUp);
    state().cancelled = false;
}

void leaveScope() {
    std::lock_guard lock(state().mutex);
    state().scoped = false;
    state().stopsOnTerm = false;
    state().task.reset();
    state().onCancel = nullptr;
    state().cleanUp = nullptr;
}

bool interruptedInScope() {
    std::lock_guard lock(state().mutex);
    return state().cancelled;
}

}  // namespace

CancelScope::CancelScope(co::TaskPtr task, std::function<void()> onCancel) {
    enterScope(std::move(task), std::move(onCancel), nullptr);
}

CancelScope::~CancelScope() { leaveScope(); }

bool CancelScope::cancelled() const { return interruptedInScope(); }

FinishScope::FinishScope(std::function<void()> onFirst, std::function<void()> cleanUp) {
    enterScope(nullptr, std::move(onFirst), std::move(cleanUp));
}

FinishScope::~FinishScope() { leaveScope(); }

bool FinishScope::interrupted() const { return interruptedInScope(); }

StopScope::StopScope(std::function<void()> onStop, std::function<void()> cleanUp) {
    // SIGTERM is the scope's from the first moment: in one step with the rest of it.
    enterScope(nullptr, std::move(onStop), std::move(cleanUp), true);
}

StopScope::~StopScope() { leaveScope(); }

bool StopScope::stopped() const { return interruptedInScope(); }

}  // namespace galvoria::host::interrupts
