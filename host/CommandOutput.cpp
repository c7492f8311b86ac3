#include "host/CommandOutput.hpp"

#include "host/Terminal.hpp"

namespace galvoria::host {
using terminal::visible;

std::string serviceOrigin() { return GALVORIA_SERVICE_URL; }

std::string libraryLink(const std::string& projectId) { return serviceOrigin() + "/project/" + projectId + "/library"; }

void failWith(std::string_view text) { terminal::err("galvoria-host: " + std::string(text) + "\n"); }

std::string errorText(const co::Error& error, std::string_view fallback) {
    const std::string description = visible(error.localizedDescription());
    const std::string reason = visible(error.localizedFailureReason());
    if (description.empty() && reason.empty()) {
        return std::string(fallback);
    }
    return reason.empty() ? description : description + "\n  " + reason;
}

co::Value errorJson(const co::Error& error) {
    return {{"description", error.localizedDescription()}, {"failureReason", error.localizedFailureReason()}};
}

void printJson(const co::Value& document) {
    terminal::out(document.dump(2, ' ', false, co::Value::error_handler_t::replace) + "\n");
}

}  // namespace galvoria::host
