#include "host/ui/ElementJson.hpp"

#include "host/HostObjects.hpp"

namespace galvoria::host::ui {

co::Value pageGroupsJson(const std::optional<std::vector<co::GroupPtr>>& groups) {
    co::Value out = co::Value::array();
    if (!groups) {
        return out;
    }
    for (const auto& group : *groups) {
        if (!group) {
            continue;
        }
        co::Value written = groupToJson(*group);
        for (auto& element : written["elements"]) {
            if (element.value("secure", false)) {
                element.erase("value");
            }
        }
        out.push_back(std::move(written));
    }
    return out;
}

}  // namespace galvoria::host::ui
