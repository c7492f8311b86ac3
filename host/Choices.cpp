#include "host/Choices.hpp"

#include <cstdlib>
#include <memory>

#include <utf8proc.h>

#include "host/Terminal.hpp"

namespace galvoria::host {
namespace {

struct FreeDeleter {
    void operator()(utf8proc_uint8_t* text) const { std::free(text); }
};

std::vector<std::size_t> matching(const std::vector<Choice>& candidates, const auto& fits) {
    std::vector<std::size_t> found;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (fits(candidates[i])) {
            found.push_back(i);
        }
    }
    return found;
}

std::string listed(const std::vector<Choice>& candidates, const std::vector<std::size_t>& which) {
    std::string text;
    for (const std::size_t i : which) {
        text += "\n  " + describe(candidates[i]);
    }
    return text;
}

std::string mapped(std::string_view name, int options) {
    utf8proc_uint8_t* result = nullptr;
    const auto length =
        utf8proc_map(reinterpret_cast<const utf8proc_uint8_t*>(name.data()), static_cast<utf8proc_ssize_t>(name.size()),
                     &result, static_cast<utf8proc_option_t>(options));
    const std::unique_ptr<utf8proc_uint8_t, FreeDeleter> owned(result);
    if (length < 0 || result == nullptr) {
        return std::string(name);  // not UTF-8: compared as it is
    }
    return {reinterpret_cast<const char*>(result), static_cast<std::size_t>(length)};
}

}  // namespace

std::string foldedName(std::string_view name) {
    return mapped(name, UTF8PROC_STABLE | UTF8PROC_COMPOSE | UTF8PROC_CASEFOLD);
}

std::string unaccentedName(std::string_view name) {
    // Marks are split off by the decomposition and then dropped: "Café" and "cafe" read the same.
    return mapped(name, UTF8PROC_STABLE | UTF8PROC_DECOMPOSE | UTF8PROC_STRIPMARK | UTF8PROC_CASEFOLD);
}

std::vector<std::size_t> matchingName(const std::vector<Choice>& candidates, const std::string& wanted) {
    auto found = matching(candidates, [&](const Choice& c) { return c.title == wanted; });
    if (found.empty()) {
        const std::string folded = foldedName(wanted);
        found = matching(candidates, [&](const Choice& c) { return foldedName(c.title) == folded; });
    }
    if (found.empty()) {
        const std::string bare = unaccentedName(wanted);
        found = matching(candidates, [&](const Choice& c) { return unaccentedName(c.title) == bare; });
    }
    return found;
}

std::string describe(const Choice& choice) {
    return terminal::visible(choice.title) + " (" + terminal::visible(choice.value) + ")";
}

Resolution resolveChoice(const std::vector<Choice>& candidates, const std::string& wanted, ChoiceKind kind,
                         std::string_view where) {
    const std::string one(kind.one);
    const std::string many(kind.many);
    const std::string place(where);
    const std::string named = terminal::visible(wanted);
    const std::vector<std::vector<std::size_t>> levels = {
        matching(candidates, [&](const Choice& c) { return c.value == wanted; }),
        matchingName(candidates, wanted),
    };
    for (const auto& found : levels) {
        if (found.size() == 1) {
            return {found.front(), {}};
        }
        if (found.size() > 1) {
            return {std::nullopt, "\"" + named + "\" names " + std::to_string(found.size()) + " " + many + " " + place +
                                      "; give the identifier of one of them:" + listed(candidates, found)};
        }
    }
    if (candidates.empty()) {
        return {std::nullopt,
                "there is no " + one + " \"" + named + "\" " + place + ": there are no " + many + " there"};
    }
    std::vector<std::size_t> all(candidates.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        all[i] = i;
    }
    return {std::nullopt, "there is no " + one + " \"" + named + "\" " + place + "; the " + many +
                              " there are:" + listed(candidates, all)};
}

}  // namespace galvoria::host
