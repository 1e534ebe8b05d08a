#include "platform/serial_port_common.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

bool port_path_given(const char* path, PortFailure& failure)
{
    failure = PortFailure{};
    if (path != nullptr)
        return true;
    failure.kind = PortFailureKind::Mistake;
    std::snprintf(failure.text, sizeof failure.text, "no port named");
    return false;
}

std::vector<std::string> split_patterns(const std::string& text, const char* separators)
{
    std::vector<std::string> patterns;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find_first_of(separators, start), text.size());
        if (end > start)
            patterns.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return patterns;
}

namespace {

char folded(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// The bracket expression at pattern[at] ('[' there) against c: where it
// ends (after its ']') and whether c is in it; npos when it has no ']'.
std::size_t bracket(const std::string& pattern, std::size_t at, char c, bool& in)
{
    std::size_t i = at + 1;
    const bool negated = i < pattern.size() && (pattern[i] == '!' || pattern[i] == '^');
    if (negated)
        ++i;
    in = false;
    // A ']' first in the set is one of its characters.
    for (bool first = true; i < pattern.size(); first = false) {
        if (pattern[i] == ']' && !first) {
            in = in != negated;
            return i + 1;
        }
        char low = folded(pattern[i]);
        char high = low;
        if (i + 2 < pattern.size() && pattern[i + 1] == '-' && pattern[i + 2] != ']') {
            high = folded(pattern[i + 2]);
            i += 3;
        } else {
            ++i;
        }
        in = in || (folded(c) >= low && folded(c) <= high);
    }
    return std::string::npos;
}

} // namespace

bool port_name_matches(const std::string& pattern, const std::string& name)
{
    // Backtracking to the last '*' only: enough for one pass over name.
    std::size_t p = 0;
    std::size_t n = 0;
    std::size_t star = std::string::npos;
    std::size_t star_n = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            star_n = n;
            continue;
        }
        bool matched = false;
        std::size_t next = p + 1;
        if (p < pattern.size() && pattern[p] == '[') {
            bool in = false;
            const std::size_t end = bracket(pattern, p, name[n], in);
            if (end != std::string::npos) {
                matched = in;
                next = end;
            } else {
                matched = name[n] == '[';
            }
        } else if (p < pattern.size()) {
            matched = pattern[p] == '?' || folded(pattern[p]) == folded(name[n]);
        }
        if (matched) {
            p = next;
            ++n;
        } else if (star != std::string::npos) {
            p = star + 1;
            n = ++star_n;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}
