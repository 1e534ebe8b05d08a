// Text fitted to a terminal's width without cutting a word: shortened by
// whole clauses and words, or broken at blanks onto more lines.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// text when it fits in room; otherwise its whole "; " clauses dropped from
// the end, then its ", " items, then its words, until it fits. Only a first word longer
// than room is cut, as there is nothing else left to drop.
std::string fit_clauses(const std::string& text, std::size_t room);

// text broken at blanks into lines of at most room characters, every line
// after the first starting with indent (counted in room); no line starts
// with a word of one or two letters ("s" of "12 s", "97" of "of 97"); a
// word longer than a line has a line of its own, cut only then.
std::vector<std::string> wrap_words(const std::string& text, std::size_t room, const std::string& indent = "");
