#pragma once
// Finding the entry a person means in one of the publish options' lists, by identifier or by name.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace galvoria::host {

// One entry of a list: the value the plugin gave it and the title it shows.
struct Choice {
    std::string value;
    std::string title;

    bool operator==(const Choice&) const = default;
};

struct Resolution {
    std::optional<std::size_t> index;  // into the candidates
    std::string problem;               // why nothing was chosen, naming the candidates
};

// The candidate `wanted` names: its identifier, else its exact title, else its title compared
// without regard to case (composed and decomposed accents alike), else its title compared without
// regard to accents either. A name that fits several candidates at the first level that fits any
// is ambiguous.
struct ChoiceKind {
    std::string_view one;   // "folder"
    std::string_view many;  // "folders"
};
// `where` names the place the candidates come from ("in Personal"), for the texts; the problem
// shows names as the terminal may show them (terminal::visible).
Resolution resolveChoice(const std::vector<Choice>& candidates, const std::string& wanted, ChoiceKind kind,
                         std::string_view where);

// The candidates whose title `wanted` names, at the first of the levels above (identifiers left
// out) that fits any.
std::vector<std::size_t> matchingName(const std::vector<Choice>& candidates, const std::string& wanted);

// A name as it is compared loosely: canonically composed and case-folded; and with its accents
// dropped as well.
std::string foldedName(std::string_view name);
std::string unaccentedName(std::string_view name);

// "Title (value)", as candidates are listed at the terminal (terminal::visible).
std::string describe(const Choice& choice);

}  // namespace galvoria::host
