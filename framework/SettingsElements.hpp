#pragma once
// The settings elements a plugin hands the host: groups of text fields, buttons, labels and lists.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "framework/Image.hpp"
#include "framework/Value.hpp"

namespace co {

class COSettingsItem {
public:
    COSettingsItem() = default;
    virtual ~COSettingsItem();
    COSettingsItem(const COSettingsItem&) = delete;
    COSettingsItem& operator=(const COSettingsItem&) = delete;

    // The framework class name, as the host reports it ("COSettingsListItem", ...).
    [[nodiscard]] virtual std::string_view className() const = 0;

    [[nodiscard]] const std::optional<std::string>& identifier() const { return identifier_; }
    void setIdentifier(std::string identifier) { identifier_ = std::move(identifier); }
    [[nodiscard]] const std::optional<std::string>& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }
    // Any value; no value when never set.
    [[nodiscard]] const std::optional<Value>& value() const { return value_; }
    void setValue(std::optional<Value> value) { value_ = std::move(value); }

private:
    std::optional<std::string> identifier_;
    std::optional<std::string> title_;
    std::optional<Value> value_;
};

using ItemPtr = std::shared_ptr<COSettingsItem>;

class COSettingsTextItem final : public COSettingsItem {
public:
    [[nodiscard]] std::string_view className() const override { return "COSettingsTextItem"; }
    [[nodiscard]] bool secure() const { return secure_; }
    void setSecure(bool secure) { secure_ = secure; }

private:
    bool secure_ = false;
};

class COSettingsButtonItem final : public COSettingsItem {
public:
    [[nodiscard]] std::string_view className() const override { return "COSettingsButtonItem"; }
    [[nodiscard]] const std::optional<std::string>& context() const { return context_; }
    void setContext(std::string context) { context_ = std::move(context); }

private:
    std::optional<std::string> context_;
};

class COSettingsLabelItem final : public COSettingsItem {
public:
    [[nodiscard]] std::string_view className() const override { return "COSettingsLabelItem"; }
};

class COSettingsListOption {
public:
    COSettingsListOption(Value value, std::string title, std::shared_ptr<const Image> image = nullptr)
        : value_(std::move(value)), title_(std::move(title)), image_(std::move(image)) {}

    // The framework's shared separator option.
    static std::shared_ptr<const COSettingsListOption> separator();

    [[nodiscard]] bool isSeparator() const { return isSeparator_; }
    [[nodiscard]] const Value& value() const { return value_; }
    [[nodiscard]] const std::string& title() const { return title_; }
    [[nodiscard]] const std::shared_ptr<const Image>& image() const { return image_; }

private:
    struct SeparatorTag {};
    explicit COSettingsListOption(SeparatorTag) : isSeparator_(true) {}

    Value value_;
    std::string title_;
    std::shared_ptr<const Image> image_;
    bool isSeparator_ = false;
};

using ListOptionPtr = std::shared_ptr<const COSettingsListOption>;

class COSettingsListItem final : public COSettingsItem {
public:
    [[nodiscard]] std::string_view className() const override { return "COSettingsListItem"; }
    // A new list's options are an empty array; callers append by reading and setting back.
    [[nodiscard]] const std::vector<ListOptionPtr>& options() const { return options_; }
    void setOptions(std::vector<ListOptionPtr> options) { options_ = std::move(options); }

private:
    std::vector<ListOptionPtr> options_;
};

class COSettingsElementsGroup {
public:
    [[nodiscard]] const std::optional<std::string>& identifier() const { return identifier_; }
    void setIdentifier(std::string identifier) { identifier_ = std::move(identifier); }
    [[nodiscard]] const std::optional<std::string>& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }
    // A new group's elements are an empty array.
    [[nodiscard]] const std::vector<ItemPtr>& elements() const { return elements_; }
    void setElements(std::vector<ItemPtr> elements) { elements_ = std::move(elements); }

private:
    std::optional<std::string> identifier_;
    std::optional<std::string> title_;
    std::vector<ItemPtr> elements_;
};

using GroupPtr = std::shared_ptr<COSettingsElementsGroup>;

}  // namespace co
