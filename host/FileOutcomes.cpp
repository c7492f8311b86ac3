#include "host/FileOutcomes.hpp"

#include <set>
#include <utility>

namespace galvoria::host {
namespace {

// A depth-first reading of the entries from `position` on, each naming a file after `next - 1`;
// the first reading that takes the whole text. `dead` keeps the places already found unreadable,
// so a long list with look-alike names is read in polynomial time.
class ListReader {
public:
    ListReader(std::string_view text, const std::vector<std::string>& names) : text_(text), names_(names) {}

    bool read(std::size_t position, std::size_t next) {
        if (dead_.contains({position, next})) {
            return false;
        }
        for (std::size_t file = next; file < names_.size(); ++file) {
            const std::string& name = names_[file];
            if (text_.compare(position, name.size(), name) != 0 ||
                text_.compare(position + name.size(), 2, " (") != 0) {
                continue;
            }
            const std::size_t reasonStart = position + name.size() + 2;
            const std::size_t close = text_.find(')', reasonStart);
            if (close == std::string_view::npos || close == reasonStart) {
                continue;
            }
            const std::string_view reason = text_.substr(reasonStart, close - reasonStart);
            if (reason.find('(') != std::string_view::npos) {
                continue;
            }
            entries_.push_back({file, std::string(reason)});
            if (close + 2 == text_.size() && text_[close + 1] == '.') {
                return true;
            }
            if (text_.compare(close + 1, 2, ", ") == 0 && read(close + 3, file + 1)) {
                return true;
            }
            entries_.pop_back();
        }
        dead_.insert({position, next});
        return false;
    }

    std::vector<FailedFile> entries() && { return std::move(entries_); }

private:
    std::string_view text_;
    const std::vector<std::string>& names_;
    std::vector<FailedFile> entries_;
    std::set<std::pair<std::size_t, std::size_t>> dead_;
};

bool isNumber(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// `text` with `prefix` (numbers written as '#') taken off the front; no value when it does not start so.
std::optional<std::string_view> after(std::string_view text, std::string_view prefix) {
    while (!prefix.empty()) {
        if (prefix.front() == '#') {
            const std::size_t digits = std::min(text.find_first_not_of("0123456789"), text.size());
            if (!isNumber(text.substr(0, digits))) {
                return std::nullopt;
            }
            text.remove_prefix(digits);
            prefix.remove_prefix(1);
            continue;
        }
        const std::size_t literal = std::min(prefix.find('#'), prefix.size());
        if (text.substr(0, literal) != prefix.substr(0, literal)) {
            return std::nullopt;
        }
        text.remove_prefix(literal);
        prefix.remove_prefix(literal);
    }
    return text;
}

}  // namespace

std::optional<std::vector<FailedFile>> readFailedList(std::string_view text, const std::vector<std::string>& names) {
    ListReader reader(text, names);
    if (!reader.read(0, 0)) {
        return std::nullopt;
    }
    return std::move(reader).entries();
}

std::optional<std::vector<FailedFile>> failedFilesIn(std::string_view text, const std::vector<std::string>& names) {
    for (const std::string_view prefix :
         {"Published # of # files. Not published: ", "None of the # files could be published: ",
          "The file could not be published: "}) {
        if (const auto list = after(text, prefix)) {
            return readFailedList(*list, names);
        }
    }
    return std::nullopt;
}

std::string_view statusName(FileStatus status) {
    switch (status) {
        case FileStatus::published:
            return "published";
        case FileStatus::notPublished:
            return "notPublished";
        case FileStatus::sent:
            return "sent";
        case FileStatus::notSent:
            return "notSent";
    }
    return "notSent";
}

}  // namespace galvoria::host
