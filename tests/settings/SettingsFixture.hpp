#pragma once
// The account panel and the publish options in process, against the local service on a port of its
// own (the service client's fixture) with the listing caches. After each test no secret may have
// reached the log.

#include <memory>

#include "settings/ListingCaches.hpp"
#include "tests/service/ServiceClient.hpp"

namespace galvoria::testing {

// Elements in short: a list as "id=value[option values]" ("|" the separator; with titles,
// "id:title[option titles]"), a field or label as "id='value'".
inline std::string shapeOf(const std::vector<co::ItemPtr>& elements, bool titles = false) {
    const auto text = [](const co::Value& value) {
        return value.is_string() ? value.get<std::string>() : value.dump();
    };
    std::string shape;
    for (const auto& element : elements) {
        shape += (shape.empty() ? "" : " ") + element->identifier().value_or("");
        const auto* list = dynamic_cast<const co::COSettingsListItem*>(element.get());
        if (list == nullptr) {
            shape += "='" + text(element->value().value_or(co::Value())) + "'";
            continue;
        }
        shape += titles ? ":" + element->title().value_or("") : element->value() ? "=" + text(*element->value()) : "";
        std::string options;
        for (const auto& option : list->options())
            options += (options.empty() ? "" : ",") + (option->isSeparator() ? "|"
                                                       : titles              ? option->title()
                                                                             : text(option->value()));
        shape += "[" + options + "]";
    }
    return shape;
}

class SettingsTest : public ServiceClient {
protected:
    void TearDown() override {
        const std::string log = log_.all();
        EXPECT_EQ(log.find(demoPassword), std::string::npos) << "the password reached the log";
        if (!token_.empty()) {
            EXPECT_EQ(log.find(token_), std::string::npos) << "the token reached the log";
        }
    }
    void logInDirectly() {
        token_ = server().issueToken(demoEmail);
        store_.setValue(token_, "api-token");
    }
    static Requests takeRequests() { return testing::takeRequests(server()); }

    ListingCaches caches_;
    std::string token_;
};

}  // namespace galvoria::testing
