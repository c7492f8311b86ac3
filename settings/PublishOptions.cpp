// Placeholder until the publish options land.
#include "settings/PublishOptions.hpp"

namespace galvoria::settings {
std::vector<co::GroupPtr> publishOptions(const Network&, ListingCaches&, const co::ActionPtr&, const co::Value&) {
    return {};
}
bool didUpdateOptionValue(const co::Value&, const std::string&, std::uint64_t* callbackAction) {
    if (callbackAction != nullptr) {
        *callbackAction = 1;
    }
    return true;
}
bool validatePublishOptions(const co::Value&, const co::ActionPtr&, co::ErrorOut) { return true; }
}  // namespace galvoria::settings
