#pragma once
// Faults injected per route in test mode, and the waiting they need (delays, stalls) in a form that a
// stopping server can always interrupt.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "devserver/Server.hpp"

namespace galvoria::devserver {

// A fault from its JSON form; the error text when the JSON does not describe one.
struct ParsedFault {
    std::string route;
    Fault fault;
};
std::optional<ParsedFault> parseFault(const nlohmann::json& json, std::string& error);

// The fault route a request belongs to ("teams", "create-folder", ...); empty for other requests.
std::string faultRouteOf(std::string_view method, std::string_view rawPath);

class FaultTable {
public:
    void set(const std::string& route, Fault fault);
    void clear();
    // The route's fault, counting one use of it.
    std::optional<Fault> take(const std::string& route);
    // The action of the route's fault, without using it.
    std::optional<FaultAction> peekAction(const std::string& route);

    // Sleeps; false when the server stopped meanwhile.
    bool sleep(std::chrono::milliseconds duration);
    // Holds a stalled request until the faults change (true) or the server stops or the peer leaves (false).
    bool holdStalled(const std::function<bool()>& peerGone);
    void stopAll();

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, Fault> faults_;
    std::uint64_t generation_ = 0;
    bool stopping_ = false;
};

}  // namespace galvoria::devserver
