#include "tools/qdm7-flash/view/fit_text.h"

#include <algorithm>

namespace {

// The longest start of text, at most room long, that ends before a blank.
std::string words_in(const std::string& text, std::size_t room)
{
    if (text.size() <= room)
        return text;
    std::size_t cut = text.rfind(' ', room);
    while (cut != std::string::npos && cut > 0 && text[cut - 1] == ' ')
        --cut;
    if (cut == std::string::npos || cut == 0)
        return text.substr(0, room);
    // A clause's or a list's mark is no end for what is left.
    std::string kept = text.substr(0, cut);
    while (!kept.empty() && (kept.back() == ',' || kept.back() == ';' || kept.back() == ':'))
        kept.pop_back();
    return kept;
}

} // namespace

std::string fit_clauses(const std::string& text, std::size_t room)
{
    std::string fitted = text;
    for (const char* mark : {"; ", ", "}) {
        while (fitted.size() > room) {
            const std::size_t clause = fitted.rfind(mark);
            if (clause == std::string::npos)
                break;
            fitted.resize(clause);
        }
    }
    return words_in(fitted, room);
}

std::vector<std::string> wrap_words(const std::string& text, std::size_t room, const std::string& indent)
{
    std::vector<std::string> lines;
    std::string rest = text;
    std::string lead;
    while (lead.size() + rest.size() > room && room > lead.size()) {
        const std::size_t width = room - lead.size();
        std::size_t cut = rest.rfind(' ', width);
        // A word of one or two letters ("12 s", "of 97") goes down with the
        // word before it.
        if (cut != std::string::npos && cut > 0) {
            const std::size_t letters = std::min(rest.find(' ', cut + 1), rest.size()) - cut - 1;
            const std::size_t before = rest.rfind(' ', cut - 1);
            if (letters >= 1 && letters <= 2 && before != std::string::npos && before > 0)
                cut = before;
        }
        if (cut == std::string::npos || cut == 0)
            cut = width; // a word wider than the line: nothing else to break at
        std::string line = rest.substr(0, cut);
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        lines.push_back(lead + line);
        const std::size_t next = rest.find_first_not_of(' ', cut);
        if (next == std::string::npos)
            return lines;
        rest = rest.substr(next);
        lead = indent;
    }
    lines.push_back(lead + rest);
    return lines;
}
