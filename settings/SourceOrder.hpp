#pragma once
// The order of the "Account" list: names compared by the Unicode scalar values of their composed
// (NFC) forms, without case folding or locale rules, so "Zeta" comes before "alpha" and a name typed
// with a combining accent sorts with its precomposed twin.

#include <string>
#include <string_view>
#include <vector>

#include "service/Records.hpp"

namespace galvoria::settings {

// The comparison key of a name: the scalar values of its NFC form. Text that is not valid UTF-8 is
// not normalised; its valid sequences give their scalar values and every stray byte a value above
// U+10FFFF (0x110000 + byte), so such names sort after the valid ones that share their prefix and
// comparing them never fails.
std::u32string sourceSortKey(std::string_view name);

// Sorts by name, ascending; entries with equal keys keep their relative order.
void sortWorkspaceSources(std::vector<WorkspaceSource>& sources);

}  // namespace galvoria::settings
