// How faults reach requests: before routing, a control request is admitted or refused and a
// service request meets its route's fault, if one is set; the "100 Continue" decision honours a
// fault that drops the request; the error pages leave a fault's own answer alone.

#include <algorithm>
#include <memory>

#include "devserver/ServerImpl.hpp"

namespace galvoria::devserver {

namespace {

constexpr std::size_t oversizedBodyBytes = 20 * 1024 * 1024;

// Set when a fault (or the control surface's refusal) produced the response, so the error handler
// leaves its body alone.
thread_local const httplib::Request* faultAnswered = nullptr;

// A body that reads as the start of a JSON listing, of exactly `size` bytes.
std::string jsonLookingBody(std::size_t size) {
    std::string prefix = R"({"data": [{"id": "padding", "name": ")";
    std::string suffix = R"("}]})";
    if (size <= prefix.size() + suffix.size()) return std::string(size, ' ');
    return prefix + std::string(size - prefix.size() - suffix.size(), 'x') + suffix;
}

}  // namespace

httplib::Server::HandlerResponse Server::Impl::applyFault(const httplib::Request& request,
                                                          httplib::Response& response) {
    using Handled = httplib::Server::HandlerResponse;
    faultAnswered = nullptr;
    if (options.testMode && rawPathOf(request).starts_with(controlPrefix)) {
        if (controlRequestAllowed(request, response)) return Handled::Unhandled;
        faultAnswered = &request;
        return Handled::Handled;
    }
    std::string route = faultRouteOf(request.method, rawPathOf(request));
    if (route.empty()) return Handled::Unhandled;
    if (faults.peekAction(route) == FaultAction::dropReused && !HttpFront::currentConnectionReused()) {
        return Handled::Unhandled;
    }
    std::optional<Fault> fault = faults.take(route);
    if (!fault) return Handled::Unhandled;

    if (fault->delayMs > 0 && !faults.sleep(std::chrono::milliseconds(fault->delayMs))) {
        HttpFront::dropCurrentConnection();
        return Handled::Handled;
    }
    faultAnswered = &request;
    switch (fault->action) {
        case FaultAction::delay:
            faultAnswered = nullptr;
            return Handled::Unhandled;
        case FaultAction::stall:
            if (faults.holdStalled([] { return HttpFront::currentPeerClosed(); })) {
                faultAnswered = nullptr;
                return Handled::Unhandled;
            }
            HttpFront::dropCurrentConnection();
            return Handled::Handled;
        case FaultAction::dropBefore:
            HttpFront::dropCurrentConnection();
            return Handled::Handled;
        case FaultAction::dropReused:
            // The body is read to its declared length first, so the client has sent the whole
            // request before the connection closes.
            static_cast<void>(HttpFront::readCurrentBody([](const char*, std::size_t) { return true; }));
            HttpFront::dropCurrentConnection();
            return Handled::Handled;
        case FaultAction::respond:
            response.status = fault->status.value_or(500);
            for (const auto& [name, value] : fault->headers) response.set_header(name, value);
            if (fault->body.empty()) {
                response.set_header("Content-Type", fault->contentType);
            } else {
                response.set_content(fault->body, fault->contentType);
            }
            return Handled::Handled;
        case FaultAction::dropMidBody: {
            auto body = std::make_shared<std::string>(fault->body.size() >= 2 ? fault->body : jsonLookingBody(8192));
            response.status = fault->status.value_or(200);
            for (const auto& [name, value] : fault->headers) response.set_header(name, value);
            HttpFront::closeCurrentConnectionAfterResponse();
            response.set_content_provider(body->size(), fault->contentType,
                                          [body](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                              if (offset > 0) return false;  // half sent: cut the connection
                                              return sink.write(body->data(), body->size() / 2);
                                          });
            return Handled::Handled;
        }
        case FaultAction::oversized: {
            auto body = std::make_shared<std::string>(jsonLookingBody(oversizedBodyBytes));
            response.status = fault->status.value_or(200);
            for (const auto& [name, value] : fault->headers) response.set_header(name, value);
            response.set_content_provider(body->size(), "application/json",
                                          [body](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                                              std::size_t piece = std::min<std::size_t>(length, 256 * 1024);
                                              return sink.write(body->data() + offset, piece);
                                          });
            return Handled::Handled;
        }
    }
    return Handled::Unhandled;
}

void Server::Impl::installFaultHooks() {
    front.set_pre_routing_handler(
        [this](const httplib::Request& request, httplib::Response& response) { return applyFault(request, response); });
    front.set_expect_100_continue_handler([this](const httplib::Request& request, httplib::Response& response) {
        std::string route = faultRouteOf(request.method, rawPathOf(request));
        // A request that is to be dropped before any answer must not even see "100 Continue".
        if (!route.empty() && faults.peekAction(route) == FaultAction::dropBefore) {
            auto fault = faults.take(route);
            if (fault && fault->delayMs > 0) faults.sleep(std::chrono::milliseconds(fault->delayMs));
            HttpFront::dropCurrentConnection();
            response.status = 500;
            return 500;
        }
        // The storage refuses a body of unknown length before the client sends it.
        if (route == "storage" && !faults.peekAction(route) && !hasDeclaredLength(request)) {
            refuseUnknownLength(response);
            return 411;
        }
        return 100;
    });
    front.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request& request,
                                                                    httplib::Response& response) {
        if (faultAnswered == &request || !response.body.empty() || response.content_provider_) {
            return httplib::Server::HandlerResponse::Unhandled;
        }
        sendMessage(response, response.status, response.status == 404 ? "Not Found." : "The request cannot be served.");
        return httplib::Server::HandlerResponse::Handled;
    }));
}

}  // namespace galvoria::devserver
