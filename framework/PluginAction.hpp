#pragma once
// COPluginAction: an action a plugin offers the host, e.g. "Publish to galvoria".

#include <memory>
#include <string>

#include "framework/Image.hpp"

namespace co {

class COPluginAction {
public:
    explicit COPluginAction(std::string displayName) : displayName_(std::move(displayName)) {}
    virtual ~COPluginAction();

    COPluginAction(const COPluginAction&) = delete;
    COPluginAction& operator=(const COPluginAction&) = delete;

    [[nodiscard]] const std::string& displayName() const { return displayName_; }
    [[nodiscard]] const std::string& identifier() const { return identifier_; }
    void setIdentifier(std::string identifier) { identifier_ = std::move(identifier); }
    [[nodiscard]] const std::shared_ptr<const Image>& image() const { return image_; }
    void setImage(std::shared_ptr<const Image> image) { image_ = std::move(image); }

    // The host's equality of actions: two actions are the same action when their identifiers are.
    [[nodiscard]] bool isEqualToPluginAction(const COPluginAction* other) const {
        return other != nullptr && (other == this || other->identifier_ == identifier_);
    }

private:
    std::string displayName_;
    std::string identifier_;
    std::shared_ptr<const Image> image_;
};

using ActionPtr = std::shared_ptr<COPluginAction>;

}  // namespace co
