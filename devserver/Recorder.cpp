#include "devserver/Recorder.hpp"

#include <algorithm>

namespace galvoria::devserver {

std::shared_ptr<RecordedRequest> Recorder::begin(RecordedRequest head, bool newConnection) {
    auto request = std::make_shared<RecordedRequest>(std::move(head));
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    ++stats_.requests;
    if (newConnection) ++stats_.connections;
    return request;
}

void Recorder::appendBody(RecordedRequest& request, const char* data, std::size_t length) {
    std::lock_guard lock(mutex_);
    request.bodyBytes += length;
    if (request.body.size() < keptBodyBytes)
        request.body.append(data, std::min(length, keptBodyBytes - request.body.size()));
}

void Recorder::countTlsHandshake(bool resumed) {
    std::lock_guard lock(mutex_);
    ++(resumed ? stats_.tlsResumed : stats_.tlsHandshakes);
}

std::vector<RecordedRequest> Recorder::snapshot() const {
    std::lock_guard lock(mutex_);
    std::vector<RecordedRequest> copies;
    copies.reserve(requests_.size());
    for (const auto& request : requests_) copies.push_back(*request);
    return copies;
}

void Recorder::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

ServerStats Recorder::stats() const {
    std::lock_guard lock(mutex_);
    return stats_;
}

void Recorder::clearAll() {
    std::lock_guard lock(mutex_);
    requests_.clear();
    stats_ = {};
}

}  // namespace galvoria::devserver
