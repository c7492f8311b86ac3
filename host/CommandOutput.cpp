#include "host/CommandOutput.hpp"

#include "host/Terminal.hpp"

namespace galvoria::host {

std::string serviceOrigin() { return GALVORIA_SERVICE_URL; }

std::string libraryLink(const std::string& projectId) { return serviceOrigin() + "/project/" + projectId + "/library"; }

void failWith(std::string_view text) { terminal::err("galvoria-host: " + std::string(text) + "\n"); }

std::string errorText(const co::Error& error, std::string_view fallback) {
    const std::string description = error.localizedDescription();
    const std::string reason = error.localizedFailureReason();
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

std::string withoutControls(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0U;
        if (byte < 0x20 || byte == 0x7F) {
            out += ' ';
        } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            out += ' ';
            ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace galvoria::host
