#include "service/http/Transfer.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <limits>

#include "service/http/Rules.hpp"

namespace galvoria::http::detail {
namespace {

// A transfer moving less than this many bytes a second for the whole stall time-out is aborted: no
// healthy upload or answer falls under 1 KiB/s for a minute, while a peer trickling a few bytes a
// second would otherwise keep it alive for ever. There is still no cap on the total time, so a
// large file on a slow but moving link is never cut off.
constexpr long stallBytesPerSecond = 1024;
// See the POST settings in runTransfer.
constexpr long postMaxIdleSeconds = 2;

constexpr std::string_view sentOnceText =
    "The connection closed after the request was sent, before any answer; the request is not sent again.";

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
        transfer->problem = responseTooLargeText(transfer->maxResponseBytes);
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
        takeHeaderLine(transfer->response.headers, std::string_view(data, length));
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
}  // namespace

Response runTransfer(CURL* curl, Request& request, curl_slist* headers, const Progress& progress,
                     const SessionOptions& options, const std::atomic<bool>& closing) {
    const Libcurl& library = libcurl();
    const bool isPost = request.method == "POST";
    Transfer transfer;
    transfer.maxResponseBytes = options.maxResponseBytes;
    transfer.progress = &progress;
    transfer.closing = &closing;
    transfer.handle = curl;
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
    set(CURLOPT_HTTPHEADER, headers);
    set(CURLOPT_WRITEFUNCTION, &onBody);
    set(CURLOPT_WRITEDATA, &transfer);
    set(CURLOPT_HEADERFUNCTION, &onHeader);
    set(CURLOPT_HEADERDATA, &transfer);
    set(CURLOPT_NOPROGRESS, 0L);
    set(CURLOPT_XFERINFOFUNCTION, &onProgress);
    set(CURLOPT_XFERINFODATA, &transfer);
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
        transfer.problem = responseTooLargeText(options.maxResponseBytes);
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

}  // namespace galvoria::http::detail
