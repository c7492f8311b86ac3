#pragma once
// One blocking exchange: the session runs the transfer on its own thread, the answer is handled on
// the main queue, and the calling thread waits on a semaphore for that handler's result. Every
// request of the plugin, to the service or to the storage, goes this way.

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/Dispatch.hpp"
#include "service/http/Http.hpp"

namespace galvoria {

// Whether the calling thread may wait for a handler on the main queue: not the main thread itself,
// and only while a thread serves the queue. A refusal is logged.
bool mayWaitForMainQueue();

// Sends `request` and returns what `handle` made of the answer on the main queue. When `handle`
// throws, `failed` runs there instead, with the exception's text when it has one. No value, and
// nothing sent, when the calling thread may not wait for the main queue (or when `failed` throws too). An exception
// from sending reaches the caller.
template <typename Result>
std::optional<Result> exchange(http::Session& session, http::Role role, http::Request&& request,
                               http::Progress&& progress, std::function<Result(const http::Response&)> handle,
                               std::function<Result(const std::optional<std::string>& what)> failed) {
    if (!mayWaitForMainQueue()) {
        return std::nullopt;
    }
    struct Pending {
        platform::DispatchSemaphore done;
        std::optional<Result> result;
    };
    auto pending = std::make_shared<Pending>();
    session.send(role, std::move(request), std::move(progress),
                 [pending, handle = std::move(handle), failed = std::move(failed)](http::Response response) {
                     platform::MainQueue::shared().async([pending, handle, failed, response = std::move(response)] {
                         bool threw = false;
                         std::optional<std::string> what;
                         try {
                             pending->result = handle(response);
                         } catch (const std::exception& error) {
                             threw = true;
                             what = error.what();
                         } catch (...) {
                             threw = true;
                         }
                         if (threw) {
                             try {
                                 pending->result = failed(what);
                             } catch (...) {  // NOLINT(bugprone-empty-catch): the caller is released all the same
                             }
                         }
                         pending->done.signal();
                     });
                 });
    pending->done.wait();
    return std::move(pending->result);
}

}  // namespace galvoria
