// The session: a worker thread that runs queued transfers one at a time, one kept-alive connection
// set per Role.
#include <array>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include "platform/Log.hpp"
#include "service/http/Http.hpp"
#include "service/http/Libcurl.hpp"
#include "service/http/Rules.hpp"
#include "service/http/Transfer.hpp"

namespace galvoria::http {
namespace {

using detail::failure;
using detail::libcurl;

constexpr std::string_view sessionClosedText = "The HTTP session was closed before the transfer ran.";

#ifdef GALVORIA_TEST_TIMEOUT_KNOBS
std::optional<std::chrono::seconds> positiveSecondsFromEnvironment(const char* name) {
    const char* text = std::getenv(name);
    if (text == nullptr) {
        return std::nullopt;
    }
    const std::string_view view(text);
    long long seconds = 0;
    const auto [end, error] = std::from_chars(view.data(), view.data() + view.size(), seconds);
    if (error != std::errc{} || end != view.data() + view.size() || seconds <= 0) {
        return std::nullopt;
    }
    return std::chrono::seconds(seconds);
}
#endif

}  // namespace

SessionOptions SessionOptions::fromEnvironment() {
    SessionOptions options;
    if (const char* bundle = std::getenv("GALVORIA_CA_BUNDLE"); bundle != nullptr && *bundle != '\0') {
        options.caBundle = bundle;
    }
#ifdef GALVORIA_TEST_TIMEOUT_KNOBS
    if (const auto seconds = positiveSecondsFromEnvironment("GALVORIA_CONNECT_TIMEOUT_SECONDS")) {
        options.connectTimeout = *seconds;
    }
    if (const auto seconds = positiveSecondsFromEnvironment("GALVORIA_STALL_TIMEOUT_SECONDS")) {
        options.stallTimeout = *seconds;
    }
#endif
    return options;
}

struct Session::Impl {
    struct Job {
        Role role;
        Request request;
        Progress progress;
        Completion completion;
    };

    explicit Impl(SessionOptions sessionOptions) : options(std::move(sessionOptions)) {
        static_cast<void>(libcurl());
        worker = std::thread([this] { serve(); });
    }

    void serve();
    Response run(Role role, Request& request, const Progress& progress);
    CURL* handleFor(Role role);

    static void complete(Job& job, Response response) {
        if (!job.completion) {
            return;
        }
        try {
            job.completion(std::move(response));
        } catch (...) {
            platform::log::line("An HTTP completion handler failed.");
        }
    }

    SessionOptions options;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Job> jobs;
    bool stopping = false;
    std::atomic<bool> closing{false};
    std::array<detail::EasyHandle, 2> handles;  // one per Role, used only on the worker thread
    std::thread worker;
};

void Session::Impl::serve() {
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [this] { return !jobs.empty() || stopping; });
            if (stopping) {
                break;
            }
            job = std::move(jobs.front());
            jobs.pop_front();
        }
        Response response = run(job.role, job.request, job.progress);
        complete(job, std::move(response));
    }
    // Whoever waits on a queued transfer is released instead of waiting forever.
    std::deque<Job> abandoned;
    {
        std::lock_guard lock(mutex);
        abandoned.swap(jobs);
    }
    for (Job& job : abandoned) {
        complete(job, failure(std::string(sessionClosedText)));
    }
    handles = {};
}

CURL* Session::Impl::handleFor(Role role) {
    detail::EasyHandle& handle = handles.at(role == Role::service ? 0 : 1);
    if (!handle) {
        handle.reset(libcurl().easyInit());
    } else {
        libcurl().easyReset(handle.get());  // keeps the handle's live connections for the next transfer
    }
    return handle.get();
}

Response Session::Impl::run(Role role, Request& request, const Progress& progress) {
    if (auto problem = detail::requestProblem(request)) {
        return failure(std::move(*problem));
    }
    const detail::Libcurl& library = libcurl();
    if (!library.available()) {
        return failure(library.problem);
    }
    if (auto problem = detail::caBundleProblem(options.caBundle, request.url)) {
        return failure(std::move(*problem));
    }
    detail::HeaderLines lines = detail::headerLines(request.headers, request.method == "POST");
    if (lines.problem) {
        return failure(std::move(*lines.problem));
    }
    detail::HeaderList headerList;
    for (const std::string& line : lines.lines) {
        if (!headerList.append(line)) {
            return failure("The request headers could not be prepared.");
        }
    }
    CURL* curl = handleFor(role);
    if (curl == nullptr) {
        return failure("The HTTP library could not create a transfer.");
    }
    return detail::runTransfer(curl, request, headerList.get(), progress, options, closing);
}

Session::Session(SessionOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

Session::~Session() {
    {
        std::lock_guard lock(impl_->mutex);
        impl_->stopping = true;
    }
    impl_->closing = true;  // a running transfer ends at its next progress check (at least once a second)
    impl_->changed.notify_all();
    if (impl_->worker.get_id() == std::this_thread::get_id()) {
        // Destroyed from its own completion: the worker cannot join itself, so it and its state are
        // left to finish on their own.
        impl_->worker.detach();
        static_cast<void>(impl_.release());
    } else if (impl_->worker.joinable()) {
        impl_->worker.join();
    }
}

Session& Session::shared() {
    // Destroyed at exit (or when the plugin is unloaded): the destructor aborts a running transfer,
    // fails the queued ones and joins the worker.
    static Session session;
    return session;
}

void Session::send(Role role, Request request, Progress progress, Completion completion) {
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->stopping) {
            impl_->jobs.push_back({role, std::move(request), std::move(progress), std::move(completion)});
            impl_->changed.notify_all();
            return;
        }
    }
    Impl::Job refused{role, std::move(request), {}, std::move(completion)};
    Impl::complete(refused, failure(std::string(sessionClosedText)));
}

Response Session::perform(Role role, Request request, Progress progress) {
    if (impl_->worker.get_id() == std::this_thread::get_id()) {
        // Waiting here would wait for this very thread.
        return failure("A transfer cannot be awaited on the HTTP session's own thread.");
    }
    auto promise = std::make_shared<std::promise<Response>>();
    std::future<Response> result = promise->get_future();
    send(role, std::move(request), std::move(progress),
         [promise](Response response) { promise->set_value(std::move(response)); });
    return result.get();
}

const SessionOptions& Session::options() const { return impl_->options; }

}  // namespace galvoria::http
