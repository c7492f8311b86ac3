#pragma once
// Decoding JSON text that someone else wrote (a service's answer, a driver's request line) into a
// value, in time linear in the text's size and with bounded depth and memory.
//
// The text is read twice. The first reading checks the syntax, the nesting depth and what the value
// will occupy in memory, and counts every array's elements and every object's members; nothing is
// built when a limit is passed. The second reading builds the value with each container allocated
// once at its final size, and object members appended in the text's order. A key that appears
// again in the same object keeps its first position and takes its last value (what the JSON
// library's own parser does); duplicates are found through a hash table per open object, so a wide
// object costs no more per member than a small one. Invalid UTF-8 in a string is a syntax error.

#include <cstddef>
#include <string>
#include <string_view>

#include "framework/Value.hpp"

namespace co {

struct JsonLimits {
    // Real answers and requests nest a handful of levels. Copying, comparing and writing a value
    // recurse once per level, so the depth bounds the stack those operations use on whichever
    // thread handles the value; at 512 levels they take under 1 MiB of the usual 8 MiB even in
    // sanitizer builds.
    static constexpr std::size_t defaultMaximumDepth = 512;

    // Containers (arrays and objects) nested deeper than this are refused.
    std::size_t maximumDepth = defaultMaximumDepth;
    // The most the decoded value may occupy; 0: memoryBudgetFor(the text's size).
    std::size_t maximumMemoryBytes = 0;
};

// Eight times the text's size, at least 1 MiB (small texts of small containers) and at most
// 128 MiB (eight times the largest answer the service client accepts).
std::size_t memoryBudgetFor(std::size_t textBytes);

enum class JsonFailure {
    none,
    notJson,   // a syntax error or invalid UTF-8
    tooDeep,   // nested deeper than JsonLimits::maximumDepth
    tooLarge,  // would occupy more than the memory limit
};

struct DecodedJson {
    Value value;  // discarded unless ok()
    JsonFailure failure = JsonFailure::none;
    std::size_t errorByte = 0;  // notJson: the byte where reading stopped (1-based)
    std::size_t limit = 0;      // tooDeep: the depth limit; tooLarge: the memory limit in bytes

    [[nodiscard]] bool ok() const { return failure == JsonFailure::none; }
    // What is wrong, to follow a subject: "is nested deeper than 512 levels". Empty when ok().
    [[nodiscard]] std::string problem() const;
};

// Decodes `text`; never throws.
DecodedJson decodeJson(std::string_view text, const JsonLimits& limits = {});

}  // namespace co
