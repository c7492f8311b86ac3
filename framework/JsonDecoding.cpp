#include "framework/JsonDecoding.hpp"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <limits>
#include <new>
#include <optional>
#include <utility>
#include <vector>

namespace co {
namespace {

using Array = Value::array_t;
using Object = Value::object_t;
using String = Value::string_t;

// What the decoded value occupies, as the allocator hands it out: every heap block carries about
// this much bookkeeping, and strings up to shortStringLength characters live inside their object.
constexpr std::size_t blockOverhead = 16;
constexpr std::size_t shortStringLength = 15;
constexpr std::size_t containerBytes = sizeof(Array) + 2 * blockOverhead;  // the container and its element block
constexpr std::size_t elementBytes = sizeof(Value);
constexpr std::size_t memberBytes = sizeof(Object::value_type);

// The member at a position (the ordered map's own operator[] takes a key).
const Object::value_type& memberAt(const Object& object, std::size_t position) {
    return *(object.begin() + static_cast<std::ptrdiff_t>(position));
}
Value& valueAt(Object& object, std::size_t position) {
    return (object.begin() + static_cast<std::ptrdiff_t>(position))->second;
}

std::size_t textBytes(std::size_t length) { return length > shortStringLength ? length + 1 + blockOverhead : 0; }
std::size_t stringValueBytes(std::size_t length) { return sizeof(String) + blockOverhead + textBytes(length); }

// Objects up to this many members look a key up by comparing it with each member; larger ones
// through a KeyIndex.
constexpr std::size_t linearLookupMembers = 16;

std::size_t indexSlotsFor(std::size_t members) {
    std::size_t slots = 64;
    while (slots < 2 * members) {
        slots *= 2;
    }
    return slots;
}
std::size_t indexBytes(std::size_t members) {
    return members > linearLookupMembers ? indexSlotsFor(members) * sizeof(std::uint32_t) + blockOverhead : 0;
}

// The first reading: syntax, depth and memory, and the size of every container in the order the
// containers open. Stops at the first limit passed.
class Survey {
public:
    Survey(std::size_t maximumDepth, std::size_t maximumBytes)
        : maximumDepth_(maximumDepth), maximumBytes_(maximumBytes) {}

    bool null() { return element(0); }
    bool boolean(bool /*value*/) { return element(0); }
    bool number_integer(Value::number_integer_t /*value*/) { return element(0); }
    bool number_unsigned(Value::number_unsigned_t /*value*/) { return element(0); }
    bool number_float(Value::number_float_t /*value*/, const String& /*text*/) { return element(0); }
    bool string(String& value) { return element(stringValueBytes(value.size())); }
    bool binary(Value::binary_t& /*value*/) { return element(0); }

    bool start_object(std::size_t /*unknown*/) { return open(true); }
    bool start_array(std::size_t /*unknown*/) { return open(false); }
    bool key(String& name) {
        ++sizes_[open_.back().container];
        return charge(memberBytes + textBytes(name.size()));
    }
    bool end_object() {
        const std::size_t members = sizes_[open_.back().container];
        open_.pop_back();
        return charge(indexBytes(members));
    }
    bool end_array() {
        open_.pop_back();
        return true;
    }

    template <class Exception>
    bool parse_error(std::size_t position, const std::string& /*token*/, const Exception& /*error*/) {
        failure_ = JsonFailure::notJson;
        errorByte_ = position;
        return false;
    }

    [[nodiscard]] JsonFailure failure() const { return failure_; }
    [[nodiscard]] std::size_t errorByte() const { return errorByte_; }
    std::vector<std::uint32_t> takeSizes() { return std::move(sizes_); }

private:
    struct Open {
        std::size_t container;
        bool object;
    };

    bool charge(std::size_t bytes) {
        bytes_ += bytes;
        if (bytes_ > maximumBytes_) {
            failure_ = JsonFailure::tooLarge;
            return false;
        }
        return true;
    }

    // A value in an array counts as one of its elements; in an object, its key counted the member.
    bool element(std::size_t bytes) {
        if (!open_.empty() && !open_.back().object) {
            if (++sizes_[open_.back().container] == std::numeric_limits<std::uint32_t>::max()) {
                failure_ = JsonFailure::tooLarge;
                return false;
            }
            bytes += elementBytes;
        }
        return charge(bytes);
    }

    bool open(bool object) {
        if (!element(containerBytes + sizeof(std::uint32_t))) {
            return false;
        }
        if (open_.size() >= maximumDepth_) {
            failure_ = JsonFailure::tooDeep;
            return false;
        }
        open_.push_back({sizes_.size(), object});
        sizes_.push_back(0);
        return true;
    }

    std::size_t maximumDepth_;
    std::size_t maximumBytes_;
    std::size_t bytes_ = 0;
    std::vector<std::uint32_t> sizes_;
    std::vector<Open> open_;
    JsonFailure failure_ = JsonFailure::none;
    std::size_t errorByte_ = 0;
};

// Finds an object's members by key: open addressing over the members' positions, at most half
// full, the keys read from the object itself.
class KeyIndex {
public:
    [[nodiscard]] bool built() const { return !slots_.empty(); }

    void build(const Object& object, std::size_t expectedMembers) {
        slots_.assign(indexSlotsFor(std::max(expectedMembers, object.size())), emptySlot);
        for (std::size_t position = 0; position < object.size(); ++position) {
            insert(hashOf(memberAt(object, position).first), position);
        }
    }

    [[nodiscard]] std::optional<std::size_t> find(const Object& object, std::string_view name, std::size_t hash) const {
        for (std::size_t slot = hash & mask();; slot = (slot + 1) & mask()) {
            const std::uint32_t position = slots_[slot];
            if (position == emptySlot) {
                return std::nullopt;
            }
            if (memberAt(object, position).first == name) {
                return position;
            }
        }
    }

    // Adds the member at `position`, which `object` now holds.
    void add(const Object& object, std::size_t hash, std::size_t position) {
        if (2 * (position + 1) > slots_.size()) {
            build(object, 2 * (position + 1));  // not reached: the first reading sized the object
            return;
        }
        insert(hash, position);
    }

    static std::size_t hashOf(std::string_view name) { return std::hash<std::string_view>{}(name); }

private:
    static constexpr std::uint32_t emptySlot = std::numeric_limits<std::uint32_t>::max();

    [[nodiscard]] std::size_t mask() const { return slots_.size() - 1; }

    void insert(std::size_t hash, std::size_t position) {
        std::size_t slot = hash & mask();
        while (slots_[slot] != emptySlot) {
            slot = (slot + 1) & mask();
        }
        slots_[slot] = static_cast<std::uint32_t>(position);
    }

    std::vector<std::uint32_t> slots_;
};

// The second reading: builds the value, each container reserved at the size the survey counted.
class Builder {
public:
    Builder(Value& root, const std::vector<std::uint32_t>& sizes) : root_(root), sizes_(sizes) {}

    bool null() { return place(nullptr) != nullptr; }
    bool boolean(bool value) { return place(value) != nullptr; }
    bool number_integer(Value::number_integer_t value) { return place(value) != nullptr; }
    bool number_unsigned(Value::number_unsigned_t value) { return place(value) != nullptr; }
    bool number_float(Value::number_float_t value, const String& /*text*/) { return place(value) != nullptr; }
    bool string(String& value) { return place(std::move(value)) != nullptr; }
    bool binary(Value::binary_t& value) { return place(Value::binary(std::move(value))) != nullptr; }

    bool start_object(std::size_t /*unknown*/) {
        Value* object = place(Value::object());
        object->get_ref<Object&>().reserve(nextSize());
        open_.push_back({object, {}});
        return true;
    }
    bool start_array(std::size_t /*unknown*/) {
        Value* array = place(Value::array());
        array->get_ref<Array&>().reserve(nextSize());
        open_.push_back({array, {}});
        return true;
    }
    bool key(String& name) {
        Open& top = open_.back();
        auto& object = top.container->get_ref<Object&>();
        if (!top.index.built() && object.size() >= linearLookupMembers) {
            top.index.build(object, object.capacity());
        }
        const std::size_t hash = top.index.built() ? KeyIndex::hashOf(name) : 0;
        const std::optional<std::size_t> existing =
            top.index.built() ? top.index.find(object, name, hash) : linearFind(object, name);
        if (existing) {
            member_ = &valueAt(object, *existing);  // the later value replaces the earlier one in place
            return true;
        }
        // Appended without the ordered map's own search for the key, which is linear.
        object.emplace_back(std::move(name), nullptr);
        if (top.index.built()) {
            top.index.add(object, hash, object.size() - 1);
        }
        member_ = &object.back().second;
        return true;
    }
    bool end_object() {
        open_.pop_back();
        return true;
    }
    bool end_array() {
        open_.pop_back();
        return true;
    }

    template <class Exception>
    bool parse_error(std::size_t /*position*/, const std::string& /*token*/, const Exception& /*error*/) {
        return false;  // not reached: the survey read the same text without error
    }

private:
    struct Open {
        Value* container;
        KeyIndex index;
    };

    static std::optional<std::size_t> linearFind(const Object& object, std::string_view name) {
        for (std::size_t position = 0; position < object.size(); ++position) {
            if (memberAt(object, position).first == name) {
                return position;
            }
        }
        return std::nullopt;
    }

    std::size_t nextSize() { return next_ < sizes_.size() ? sizes_[next_++] : 0; }

    template <class Argument>
    Value* place(Argument&& argument) {
        if (open_.empty()) {
            root_ = Value(std::forward<Argument>(argument));
            return &root_;
        }
        Value& top = *open_.back().container;
        if (top.is_array()) {
            auto& array = top.get_ref<Array&>();
            array.emplace_back(std::forward<Argument>(argument));
            return &array.back();
        }
        *member_ = Value(std::forward<Argument>(argument));
        return member_;
    }

    Value& root_;
    const std::vector<std::uint32_t>& sizes_;
    std::size_t next_ = 0;
    std::vector<Open> open_;
    Value* member_ = nullptr;
};

DecodedJson failed(JsonFailure failure, std::size_t limit, std::size_t errorByte = 0) {
    DecodedJson out;
    out.value = Value(Value::value_t::discarded);
    out.failure = failure;
    out.limit = limit;
    out.errorByte = errorByte;
    return out;
}

}  // namespace

std::size_t memoryBudgetFor(std::size_t textBytes) {
    constexpr std::size_t mebibyte = std::size_t{1} << 20U;
    constexpr std::size_t factor = 8;
    if (textBytes > 128 * mebibyte / factor) {
        return 128 * mebibyte;
    }
    return std::max(factor * textBytes, mebibyte);
}

std::string DecodedJson::problem() const {
    switch (failure) {
        case JsonFailure::none:
            return {};
        case JsonFailure::notJson:
            return "is not valid JSON (error at byte " + std::to_string(errorByte) + ")";
        case JsonFailure::tooDeep:
            return "is nested deeper than " + std::to_string(limit) + " levels";
        case JsonFailure::tooLarge:
            return "would take more than " + std::to_string(limit) + " bytes of memory once decoded";
    }
    return {};
}

DecodedJson decodeJson(std::string_view text, const JsonLimits& limits) {
    const std::size_t maximumBytes =
        limits.maximumMemoryBytes != 0 ? limits.maximumMemoryBytes : memoryBudgetFor(text.size());
    try {
        Survey survey(limits.maximumDepth, maximumBytes);
        if (!Value::sax_parse(text.begin(), text.end(), &survey)) {
            const JsonFailure failure = survey.failure() == JsonFailure::none ? JsonFailure::notJson : survey.failure();
            const std::size_t limit = failure == JsonFailure::tooDeep ? limits.maximumDepth : maximumBytes;
            return failed(failure, limit, survey.errorByte());
        }
        const std::vector<std::uint32_t> sizes = survey.takeSizes();
        DecodedJson out;
        Builder builder(out.value, sizes);
        if (!Value::sax_parse(text.begin(), text.end(), &builder)) {
            return failed(JsonFailure::notJson, 0);
        }
        return out;
    } catch (const std::bad_alloc&) {
        return failed(JsonFailure::tooLarge, maximumBytes);
    } catch (const std::exception&) {
        return failed(JsonFailure::notJson, 0);
    }
}

}  // namespace co
