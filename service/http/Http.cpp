// The HTTP seam over libcurl: the only translation unit that includes curl.h.
#include "service/http/Http.hpp"

#include <curl/curl.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <limits>
#include <mutex>
#include <thread>
#include <type_traits>

#include "platform/Log.hpp"

namespace galvoria::http {
namespace {

// libcurl is opened when the first session starts, not when the plugin is loaded: mapping and
// relocating it with the two dozen libraries it needs takes longer than loading the rest of the
// plugin, and a host that only shows the plugin's settings never sends a request.
struct Libcurl {
    decltype(&::curl_global_init) globalInit = nullptr;
    decltype(&::curl_easy_init) easyInit = nullptr;
    decltype(&::curl_easy_cleanup) easyCleanup = nullptr;
    decltype(&::curl_easy_reset) easyReset = nullptr;
    decltype(&::curl_easy_setopt) easySetopt = nullptr;
    decltype(&::curl_easy_perform) easyPerform = nullptr;
    decltype(&::curl_easy_getinfo) easyGetinfo = nullptr;
    decltype(&::curl_easy_strerror) easyStrerror = nullptr;
    decltype(&::curl_slist_append) slistAppend = nullptr;
    decltype(&::curl_slist_free_all) slistFreeAll = nullptr;
    std::string problem;  // why it could not be opened; empty once it is

    [[nodiscard]] bool available() const { return problem.empty(); }
};

// Opens and initialises libcurl once, on first use. Never closed nor paired with
// curl_global_cleanup: other threads of the process may still hold handles while static objects
// are torn down, and the cost is a few bytes at exit.
const Libcurl& libcurl() {
    static const Libcurl library = [] {
        Libcurl opened;
        void* handle = ::dlopen(GALVORIA_LIBCURL_SONAME, RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            const char* reason = ::dlerror();
            opened.problem = std::string("The HTTP library could not be loaded: ") + (reason ? reason : "unknown");
            return opened;
        }
        const auto bind = [&](auto& function, const char* name) {
            function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(::dlsym(handle, name));
            if (function == nullptr && opened.problem.empty()) {
                opened.problem = std::string("The HTTP library lacks ") + name + ".";
            }
        };
        bind(opened.globalInit, "curl_global_init");
        bind(opened.easyInit, "curl_easy_init");
        bind(opened.easyCleanup, "curl_easy_cleanup");
        bind(opened.easyReset, "curl_easy_reset");
        bind(opened.easySetopt, "curl_easy_setopt");
        bind(opened.easyPerform, "curl_easy_perform");
        bind(opened.easyGetinfo, "curl_easy_getinfo");
        bind(opened.easyStrerror, "curl_easy_strerror");
        bind(opened.slistAppend, "curl_slist_append");
        bind(opened.slistFreeAll, "curl_slist_free_all");
        if (opened.available() && opened.globalInit(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
            opened.problem = "The HTTP library could not be initialised.";
        }
        return opened;
    }();
    return library;
}

// Handles and lists exist only once libcurl has been opened.
struct EasyDeleter {
    void operator()(CURL* handle) const { libcurl().easyCleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyDeleter>;

struct HeaderListDeleter {
    void operator()(curl_slist* list) const { libcurl().slistFreeAll(list); }
};

// A curl_slist that frees itself; append() keeps the list intact when libcurl runs out of memory.
class HeaderList {
public:
    bool append(const std::string& line) {
        curl_slist* grown = libcurl().slistAppend(list_.get(), line.c_str());
        if (grown == nullptr) {
            return false;
        }
        // The list now starts at `grown` (the same node unless it was empty): hand the ownership over
        // without freeing anything.
        static_cast<void>(list_.release());
        list_.reset(grown);
        return true;
    }
    [[nodiscard]] curl_slist* get() const { return list_.get(); }

private:
    std::unique_ptr<curl_slist, HeaderListDeleter> list_;
};

// A transfer moving less than this many bytes a second for the whole stall time-out is aborted: no
// healthy upload or answer falls under 1 KiB/s for a minute, while a peer trickling a few bytes a
// second would otherwise keep it alive for ever. There is still no cap on the total time, so a
// large file on a slow but moving link is never cut off.
constexpr long stallBytesPerSecond = 1024;
// See the POST settings in Session::Impl::run.
constexpr long postMaxIdleSeconds = 2;

constexpr std::string_view sessionClosedText = "The HTTP session was closed before the transfer ran.";
constexpr std::string_view sentOnceText =
    "The connection closed after the request was sent, before any answer; the request is not sent again.";

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool hasHeader(const std::vector<Header>& headers, std::string_view name) {
    return std::any_of(headers.begin(), headers.end(),
                       [name](const Header& header) { return equalsIgnoringCase(header.name, name); });
}

bool isTokenCharacter(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) != 0) {
        return true;
    }
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// A header name must be an HTTP token and a value must not break the request apart: a line break
// or NUL inside a value would let it smuggle further headers onto the wire.
std::optional<std::string> headerProblem(const Header& header) {
    if (header.name.empty() || !std::all_of(header.name.begin(), header.name.end(), isTokenCharacter)) {
        return "A request header has an invalid name.";
    }
    if (header.value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        return "The request header \"" + header.name + "\" holds a line break.";
    }
    return std::nullopt;
}

std::string trimmed(std::string_view text) {
    const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && isBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isBlank(text.back())) {
        text.remove_suffix(1);
    }
    return std::string(text);
}

// Everything the callbacks of one transfer touch. Lives on the worker's stack during perform.
struct Transfer {
    Response response;
    std::size_t maxResponseBytes = 0;
    BodySource* source = nullptr;  // the body is read from here, or else from inlineBody
    std::string_view inlineBody;
    std::uint64_t bodySize = 0;
    std::uint64_t sourceSent = 0;  // bytes of the body handed to libcurl
    CURL* handle = nullptr;
    int attempts = 0;  // requests libcurl began for this transfer (more than one: it retries on a fresh connection)
    const Progress* progress = nullptr;
    std::uint64_t progressTotal = 0;
    std::uint64_t lastReportedSent = 0;
    const std::atomic<bool>* closing = nullptr;
    std::optional<std::string> problem;  // our own account of why the transfer was aborted
};

std::size_t onBody(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t length = size * count;
    if (length > transfer->maxResponseBytes - transfer->response.body.size()) {
        transfer->problem =
            "The response body is larger than " + std::to_string(transfer->maxResponseBytes) + " bytes.";
        return 0;
    }
    try {
        transfer->response.body.append(data, length);
    } catch (...) {
        transfer->problem = "The response body could not be stored.";
        return 0;
    }
    return length;
}

std::size_t onHeader(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t length = size * count;
    try {
        const std::string_view line(data, length);
        std::vector<Header>& headers = transfer->response.headers;
        if (line.starts_with("HTTP/")) {
            headers.clear();  // a new response begins (after a 1xx): only the final one's headers count
        } else if (!line.empty() && (line.front() == ' ' || line.front() == '\t') && !headers.empty()) {
            headers.back().value += ' ' + trimmed(line);  // obsolete line folding
        } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
            headers.push_back({trimmed(line.substr(0, colon)), trimmed(line.substr(colon + 1))});
        }
    } catch (...) {
        transfer->problem = "The response headers could not be stored.";
        return 0;
    }
    return length;
}

// libcurl calls this before it sends the request, and again before each retry on a fresh
// connection (it retries when a kept-alive connection it reused died before any byte of the answer).
// A request is sent at most once: the retry is refused as soon as any byte of the request was
// written to the first connection, as the service may have read and applied it (a POST that
// created a folder must not create a second one; a GET is held to the same rule so that nothing the
// service records depends on the timing of a closing connection). A retry after nothing was
// written (the reused connection was found dead while the request head was being written) is let
// through: the service has seen nothing.
int onBeforeRequest(void* user, char* /*remoteIp*/, char* /*localIp*/, int /*remotePort*/, int /*localPort*/) {
    auto* transfer = static_cast<Transfer*>(user);
    if (++transfer->attempts == 1) {
        return CURL_PREREQFUNC_OK;
    }
    long written = 0;
    if (libcurl().easyGetinfo(transfer->handle, CURLINFO_REQUEST_SIZE, &written) != CURLE_OK || written > 0 ||
        transfer->sourceSent > 0) {
        transfer->problem = std::string(sentOnceText);
        return CURL_PREREQFUNC_ABORT;
    }
    return CURL_PREREQFUNC_OK;
}

// A request body is never rewound: libcurl asks for that only to send body bytes again on a fresh
// connection, which onBeforeRequest already refuses.
int onSeek(void* user, curl_off_t /*offset*/, int /*origin*/) {
    static_cast<Transfer*>(user)->problem = std::string(sentOnceText);
    return CURL_SEEKFUNC_CANTSEEK;
}

std::size_t onRead(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::uint64_t remaining = transfer->bodySize - transfer->sourceSent;
    if (remaining == 0) {
        return 0;
    }
    const std::size_t capacity = static_cast<std::size_t>(std::min<std::uint64_t>(size * count, remaining));
    std::optional<std::size_t> produced;
    if (transfer->source == nullptr) {
        std::memcpy(buffer, transfer->inlineBody.data() + transfer->sourceSent, capacity);
        produced = capacity;
    } else {
        try {
            if (transfer->source->read) {
                produced = transfer->source->read(buffer, capacity);
            }
        } catch (...) {
            produced.reset();
        }
    }
    if (!produced || *produced == 0 || *produced > capacity) {
        transfer->problem = "The request body ended after " + std::to_string(transfer->sourceSent) + " of " +
                            std::to_string(transfer->bodySize) + " bytes.";
        return CURL_READFUNC_ABORT;
    }
    transfer->sourceSent += *produced;
    return *produced;
}

int onProgress(void* user, curl_off_t /*downloadTotal*/, curl_off_t /*downloaded*/, curl_off_t /*uploadTotal*/,
               curl_off_t uploaded) {
    auto* transfer = static_cast<Transfer*>(user);
    if (transfer->closing->load()) {
        transfer->problem = "The HTTP session was closed during the transfer.";
        return 1;
    }
    const auto sent = static_cast<std::uint64_t>(std::max<curl_off_t>(uploaded, 0));
    if (transfer->progress != nullptr && *transfer->progress && sent != transfer->lastReportedSent) {
        transfer->lastReportedSent = sent;
        try {
            (*transfer->progress)(sent, transfer->progressTotal);
        } catch (...) {
            // A failing progress observer does not end the upload it observes.
        }
    }
    return 0;
}

Response failure(std::string text) {
    Response response;
    response.transportError = std::move(text);
    return response;
}

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

// The CA file is read by the TLS library with a blocking open: a FIFO or a device named there would
// hang the transfer before it connects. Only a regular file is handed over, and only for https.
std::optional<std::string> caBundleProblem(const std::optional<std::string>& caBundle, std::string_view url) {
    if (!caBundle || url.size() < 6 || !equalsIgnoringCase(url.substr(0, 6), "https:")) {
        return std::nullopt;
    }
    struct stat status {};
    if (::stat(caBundle->c_str(), &status) != 0) {
        return "The CA file named by GALVORIA_CA_BUNDLE (" + *caBundle + ") cannot be read: " + std::strerror(errno) +
               ".";
    }
    if (!S_ISREG(status.st_mode)) {
        return "The CA file named by GALVORIA_CA_BUNDLE (" + *caBundle + ") is not a regular file.";
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> Response::header(std::string_view name) const {
    for (const Header& header : headers) {
        if (equalsIgnoringCase(header.name, name)) {
            return header.value;
        }
    }
    return std::nullopt;
}

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

bool isHttpUrl(std::string_view url) {
    const auto colon = url.find(':');
    if (colon == std::string_view::npos) {
        return false;
    }
    const std::string_view scheme = url.substr(0, colon);
    if (!equalsIgnoringCase(scheme, "http") && !equalsIgnoringCase(scheme, "https")) {
        return false;
    }
    // Nothing that could end or split the request line: no blanks, no control characters.
    if (std::any_of(url.begin(), url.end(), [](char c) {
            const auto u = static_cast<unsigned char>(c);
            return u <= 0x20 || u == 0x7F;
        })) {
        return false;
    }
    std::string_view rest = url.substr(colon + 1);
    if (!rest.starts_with("//")) {
        return false;
    }
    rest.remove_prefix(2);
    std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
        authority.remove_prefix(at + 1);
    }
    std::string_view host = authority;
    std::string_view port;
    if (authority.starts_with('[')) {
        const auto close = authority.find(']');
        if (close == std::string_view::npos) {
            return false;
        }
        host = authority.substr(0, close + 1);
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') {
                return false;
            }
            port = after.substr(1);
        }
        if (host.size() <= 2) {
            return false;
        }
    } else if (const auto portColon = authority.rfind(':'); portColon != std::string_view::npos) {
        host = authority.substr(0, portColon);
        port = authority.substr(portColon + 1);
    }
    if (host.empty()) {
        return false;
    }
    return std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
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
    std::array<EasyHandle, 2> handles;  // one per Role, used only on the worker thread
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
    EasyHandle& handle = handles.at(role == Role::service ? 0 : 1);
    if (!handle) {
        handle.reset(libcurl().easyInit());
    } else {
        libcurl().easyReset(handle.get());  // keeps the handle's live connections for the next transfer
    }
    return handle.get();
}

Response Session::Impl::run(Role role, Request& request, const Progress& progress) {
    if (!isHttpUrl(request.url)) {
        return failure("Only absolute http and https URLs with a host are sent.");
    }
    const bool isPost = request.method == "POST";
    if (!isPost && request.method != "GET") {
        return failure("The request method \"" + request.method + "\" is not supported.");
    }
    if (request.bodySource && (!isPost || !request.bodySource->read)) {
        return failure("A streamed request body needs a POST with a reader.");
    }

    const Libcurl& library = libcurl();
    if (!library.available()) {
        return failure(library.problem);
    }
    if (auto problem = caBundleProblem(options.caBundle, request.url)) {
        return failure(std::move(*problem));
    }

    HeaderList headerList;
    for (const Header& header : request.headers) {
        if (auto problem = headerProblem(header)) {
            return failure(std::move(*problem));
        }
        // "Name;" is libcurl's spelling of a header sent with an empty value ("Name:" would remove it).
        const bool blank = header.value.find_first_not_of(" \t") == std::string::npos;
        const std::string line = blank ? header.name + ";" : header.name + ": " + header.value;
        if (!headerList.append(line)) {
            return failure("The request headers could not be prepared.");
        }
    }
    // Only the given headers go out: libcurl's defaults are switched off unless the caller set them.
    bool listComplete = true;
    if (!hasHeader(request.headers, "Accept")) {
        listComplete = listComplete && headerList.append("Accept:");
    }
    if (isPost && !hasHeader(request.headers, "Content-Type")) {
        listComplete = listComplete && headerList.append("Content-Type:");
    }
    if (isPost && !hasHeader(request.headers, "Expect")) {
        listComplete = listComplete && headerList.append("Expect:");
    }
    if (!listComplete) {
        return failure("The request headers could not be prepared.");
    }

    CURL* curl = handleFor(role);
    if (curl == nullptr) {
        return failure("The HTTP library could not create a transfer.");
    }

    Transfer transfer;
    transfer.maxResponseBytes = options.maxResponseBytes;
    transfer.progress = &progress;
    transfer.closing = &closing;
    std::array<char, CURL_ERROR_SIZE> errorText{};

    const auto connectMs = std::chrono::duration_cast<std::chrono::milliseconds>(options.connectTimeout).count();
    const long stallSeconds = std::max<long>(1, static_cast<long>(options.stallTimeout.count()));

    bool configured = true;
    const auto set = [&](CURLoption option, auto value) {
        configured = configured && library.easySetopt(curl, option, value) == CURLE_OK;
    };
    set(CURLOPT_ERRORBUFFER, errorText.data());
    set(CURLOPT_URL, request.url.c_str());
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    set(CURLOPT_FOLLOWLOCATION, 0L);
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_MAXCONNECTS, 2L);
    set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(connectMs));
    set(CURLOPT_TIMEOUT, 0L);
    set(CURLOPT_LOW_SPEED_LIMIT, stallBytesPerSecond);
    set(CURLOPT_LOW_SPEED_TIME, stallSeconds);
    set(CURLOPT_SSL_VERIFYPEER, 1L);
    set(CURLOPT_SSL_VERIFYHOST, 2L);
    if (options.caBundle) {
        set(CURLOPT_CAINFO, options.caBundle->c_str());
    }
    set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(std::min<std::uint64_t>(
                                       options.maxResponseBytes, std::numeric_limits<curl_off_t>::max())));
    set(CURLOPT_HTTPHEADER, headerList.get());
    set(CURLOPT_WRITEFUNCTION, &onBody);
    set(CURLOPT_WRITEDATA, &transfer);
    set(CURLOPT_HEADERFUNCTION, &onHeader);
    set(CURLOPT_HEADERDATA, &transfer);
    set(CURLOPT_NOPROGRESS, 0L);
    set(CURLOPT_XFERINFOFUNCTION, &onProgress);
    set(CURLOPT_XFERINFODATA, &transfer);
    transfer.handle = curl;
    set(CURLOPT_PREREQFUNCTION, &onBeforeRequest);
    set(CURLOPT_PREREQDATA, &transfer);
    if (!isPost) {
        set(CURLOPT_HTTPGET, 1L);
    } else {
        // Every body, small or streamed, goes through onRead with onSeek refusing to rewind, so that
        // libcurl cannot send it again on its own (a body given as one buffer it would resend freely).
        if (request.bodySource) {
            transfer.source = &*request.bodySource;
            transfer.bodySize = request.bodySource->size;
            // libcurl takes 16 KiB to 2 MiB and refuses the transfer outside that range.
            set(CURLOPT_UPLOAD_BUFFERSIZE,
                static_cast<long>(std::clamp<std::size_t>(options.uploadBufferBytes, 16U * 1024U, 2U * 1024U * 1024U)));
        } else {
            transfer.inlineBody = request.body;
            transfer.bodySize = request.body.size();
        }
        transfer.progressTotal = transfer.bodySize;
        set(CURLOPT_POST, 1L);
        set(CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(transfer.bodySize));
        set(CURLOPT_READFUNCTION, &onRead);
        set(CURLOPT_READDATA, &transfer);
        set(CURLOPT_SEEKFUNCTION, &onSeek);
        set(CURLOPT_SEEKDATA, &transfer);
        // A POST goes out only on a connection idle for less than postMaxIdleSeconds + 1 seconds
        // (libcurl compares whole seconds), well inside the 5 s after which common servers (Apache,
        // Node.js, cpp-httplib) close an idle kept-alive connection; an older one is closed and a new
        // one opened. Back-to-back requests, as in a publish, keep reusing their connection.
        set(CURLOPT_MAXAGE_CONN, postMaxIdleSeconds);
    }

    CURLcode code = CURLE_FAILED_INIT;
    if (configured) {
        code = library.easyPerform(curl);
    }
    long status = 0;
    if (code == CURLE_OK) {
        library.easyGetinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    }
    library.easyReset(curl);  // drops every pointer into this frame; connections stay alive

    if (!configured) {
        return failure("The HTTP library rejected the transfer's settings.");
    }
    if (code == CURLE_FILESIZE_EXCEEDED) {
        transfer.problem = "The response body is larger than " + std::to_string(options.maxResponseBytes) + " bytes.";
    }
    if (code != CURLE_OK) {
        if (transfer.problem) {
            return failure(*transfer.problem);
        }
        return failure(errorText[0] != '\0' ? std::string(errorText.data()) : library.easyStrerror(code));
    }
    if (status == 0) {
        return failure("No HTTP response arrived.");
    }
    transfer.response.status = status;
    return std::move(transfer.response);
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
