#pragma once
// The requests the service received, in arrival order, with the counts of connections and requests.

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "devserver/Server.hpp"

namespace galvoria::devserver {

class Recorder {
public:
    static constexpr std::size_t keptBodyBytes = 1024 * 1024;

    // Adds a request (its head; the body follows with appendBody) and counts it.
    std::shared_ptr<RecordedRequest> begin(RecordedRequest head, bool newConnection);
    void appendBody(RecordedRequest& request, const char* data, std::size_t length);
    void countTlsHandshake(bool resumed);

    [[nodiscard]] std::vector<RecordedRequest> snapshot() const;
    void clearRequests();
    [[nodiscard]] ServerStats stats() const;
    void clearAll();

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<RecordedRequest>> requests_;
    ServerStats stats_;
};

}  // namespace galvoria::devserver
