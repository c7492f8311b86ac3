#include "vocabulary/PublishAction.hpp"

namespace galvoria {

const std::optional<platform::Bundle>& pluginBundle() {
    static const std::optional<platform::Bundle> bundle =
        platform::Bundle::containingAddress(reinterpret_cast<const void*>(&pluginBundle));
    return bundle;
}

std::string bundleIdentifierOrFallback() {
    const auto& bundle = pluginBundle();
    if (bundle && bundle->bundleIdentifier()) {
        return *bundle->bundleIdentifier();
    }
    return "Velbrook";
}

const co::ActionPtr& publishAction() {
    // A function-local static is initialised exactly once, whichever thread arrives first.
    static const co::ActionPtr action = [] {
        auto created = std::make_shared<co::COPluginAction>(publishActionDisplayName);
        created->setIdentifier(bundleIdentifierOrFallback() + ".publishToDummyAction");
        if (const auto& bundle = pluginBundle()) {
            if (const auto icon = bundle->urlForResource("GalvoriaPluginIcon", "icns")) {
                created->setImage(co::Image::fromIcnsFile(*icon));
            }
        }
        return created;
    }();
    return action;
}

bool isPublishAction(const co::ActionPtr& action) {
    return action && publishAction()->isEqualToPluginAction(action.get());
}

}  // namespace galvoria
