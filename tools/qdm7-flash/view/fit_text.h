// Text fitted to a terminal's width without cutting a word: a line of
// fields shown whole or left out, a text shortened by whole clauses and
// words, or one broken at blanks onto more lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// How much of a field a line shows.
enum class FieldForm : std::uint8_t { Hidden, Brief, Whole };

// One field of a line. An elastic one (a port's name, a progress bar) is
// drawn at any width from least to widest instead: brief, it has its least
// width; whole, the room its turn found, up to its widest.
struct LineField {
    std::string whole;
    std::string brief;                  // empty: the whole form stands in for it
    FieldForm form = FieldForm::Hidden; // as the line starts; turns make it fuller
    std::size_t pad_to = 0;             // whole and followed by a field shown: padded with blanks to this width
    std::function<std::string(std::size_t width)> elastic; // set: its text at a width, exactly that wide
    std::size_t least = 0;
    std::size_t widest = 0;
};

// A field of text, not elastic.
LineField text_field(std::string whole, std::string brief = {}, FieldForm form = FieldForm::Hidden,
                     std::size_t pad_to = 0);

// A turn for the room: the field shown in form, or an elastic one widened.
struct FitTurn {
    std::size_t field;
    FieldForm form = FieldForm::Whole;
};

enum class FitOrder : std::uint8_t {
    EachItsTurn, // a turn that finds no room is passed over; a later one may still find some
    Nested,      // after a turn that finds no room, no later one shows more (widening still takes the room left)
};

// The fields shown, in their order, joined by gap, at most room long: from
// the forms they start in, each turn, the first first, is taken when the
// line still fits with it. A line too long even as it starts has its
// elastic fields narrowed, down to one column, and is then shortened by
// fit_clauses.
std::string fit_fields(std::vector<LineField> fields, const std::vector<FitTurn>& turns, std::size_t room,
                       const std::string& gap, FitOrder order);

// text when it fits in room; otherwise its whole "; " clauses dropped from
// the end, then its ", " items, then its words, until it fits. Only a first word longer
// than room is cut, as there is nothing else left to drop.
std::string fit_clauses(const std::string& text, std::size_t room);

// text broken at blanks into lines of at most room characters, every line
// after the first starting with indent (counted in room); no line starts
// with a word of one or two letters ("s" of "12 s", "97" of "of 97"); a
// word longer than a line has a line of its own, cut only then.
std::vector<std::string> wrap_words(const std::string& text, std::size_t room, const std::string& indent = "");
