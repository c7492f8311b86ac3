#pragma once
// The host's JSON-like values and its error object.
//
// Settings dictionaries, list values and render settings hold strings, numbers (signed and unsigned
// integers kept apart from floating point), booleans, null, arrays and objects. Objects keep the
// order in which their members were inserted so that a value handed back reads as it came in.

#include <functional>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

namespace co {

using Value = nlohmann::ordered_json;

// The platform's error object: a localised description and a localised failure reason. Both are
// computed when asked for, so a string table consulted at that moment decides the text.
class Error {
public:
    using TextSource = std::function<std::string()>;

    Error() = default;
    Error(TextSource description, TextSource failureReason)
        : description_(std::move(description)), failureReason_(std::move(failureReason)) {}

    static Error withTexts(std::string description, std::string failureReason) {
        return {[d = std::move(description)] { return d; }, [r = std::move(failureReason)] { return r; }};
    }

    [[nodiscard]] std::string localizedDescription() const { return description_ ? description_() : std::string{}; }
    [[nodiscard]] std::string localizedFailureReason() const {
        return failureReason_ ? failureReason_() : std::string{};
    }
    [[nodiscard]] bool empty() const { return !description_ && !failureReason_; }

private:
    TextSource description_;
    TextSource failureReason_;
};

// An error out-parameter: null when the caller passed none, so the callee drops the error.
using ErrorOut = Error*;

inline void setError(ErrorOut out, Error error) {
    if (out != nullptr) {
        *out = std::move(error);
    }
}

}  // namespace co
