#include "host/HostObjects.hpp"

namespace galvoria::host {

co::Value actionToJson(const co::COPluginAction& action) {
    return {{"displayName", action.displayName()},
            {"identifier", action.identifier()},
            {"hasImage", action.image() != nullptr}};
}

co::Value taskToJson(const co::COFileHandlingPluginTask& task) {
    co::Value out = co::Value::object();
    if (task.files()) {
        out["files"] = *task.files();
    }
    return out;
}

co::Value resultToJson(const co::COPluginActionPublishResult& result) {
    co::Value out = co::Value::object();
    if (result.url()) {
        out["url"] = *result.url();
    }
    if (result.message()) {
        out["message"] = *result.message();
    }
    return out;
}

co::Value itemToJson(const co::COSettingsItem& item) {
    co::Value out = co::Value::object();
    out["class"] = std::string(item.className());
    if (item.identifier()) {
        out["identifier"] = *item.identifier();
    }
    if (item.title()) {
        out["title"] = *item.title();
    }
    if (item.value()) {
        out["value"] = *item.value();
    }
    if (const auto* text = dynamic_cast<const co::COSettingsTextItem*>(&item)) {
        out["secure"] = text->secure();
    } else if (const auto* button = dynamic_cast<const co::COSettingsButtonItem*>(&item)) {
        if (button->context()) {
            out["context"] = *button->context();
        }
    } else if (const auto* list = dynamic_cast<const co::COSettingsListItem*>(&item)) {
        co::Value options = co::Value::array();
        for (const auto& option : list->options()) {
            if (!option) {
                continue;
            }
            if (option->isSeparator()) {
                options.push_back(co::Value{{"separator", true}});
            } else {
                options.push_back(co::Value{{"value", option->value()}, {"title", option->title()}});
            }
        }
        out["options"] = std::move(options);
    }
    return out;
}

co::Value groupToJson(const co::COSettingsElementsGroup& group) {
    co::Value out = co::Value::object();
    if (group.identifier()) {
        out["identifier"] = *group.identifier();
    }
    if (group.title()) {
        out["title"] = *group.title();
    }
    co::Value elements = co::Value::array();
    for (const auto& element : group.elements()) {
        if (element) {
            elements.push_back(itemToJson(*element));
        }
    }
    out["elements"] = std::move(elements);
    return out;
}

co::Value errorToJson(const co::Error& error) {
    return {{"description", error.localizedDescription()}, {"failureReason", error.localizedFailureReason()}};
}

}  // namespace galvoria::host
