#include "tools/qdm7-flash/view/fit_text.h"

#include <algorithm>
#include <utility>

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

// A line being fitted: its fields, and the width each elastic one has now.
struct Fitting {
    std::vector<LineField> fields;
    std::vector<std::size_t> widths;
    const std::string& gap;

    std::string text_of(std::size_t i, FieldForm form) const
    {
        const LineField& field = fields[i];
        if (field.elastic)
            return field.elastic(widths[i]);
        return form == FieldForm::Whole || field.brief.empty() ? field.whole : field.brief;
    }

    std::string line() const
    {
        std::size_t last = 0; // after the last field shown
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (fields[i].form != FieldForm::Hidden)
                last = i + 1;
        }
        std::string line;
        bool first = true;
        for (std::size_t i = 0; i < last; ++i) {
            const LineField& field = fields[i];
            if (field.form == FieldForm::Hidden)
                continue;
            std::string text = text_of(i, field.form);
            if (field.form == FieldForm::Whole && i + 1 < last && text.size() < field.pad_to)
                text.resize(field.pad_to, ' ');
            line += first ? text : gap + text;
            first = false;
        }
        return line;
    }
};

} // namespace

LineField text_field(std::string whole, std::string brief, FieldForm form, std::size_t pad_to)
{
    LineField field;
    field.whole = std::move(whole);
    field.brief = std::move(brief);
    field.form = form;
    field.pad_to = pad_to;
    return field;
}

std::string fit_fields(std::vector<LineField> fields, const std::vector<FitTurn>& turns, std::size_t room,
                       const std::string& gap, FitOrder order)
{
    Fitting fitting{std::move(fields), {}, gap};
    for (const LineField& field : fitting.fields)
        fitting.widths.push_back(field.least);
    bool closed = false;
    for (const FitTurn& turn : turns) {
        LineField& field = fitting.fields[turn.field];
        std::size_t& width = fitting.widths[turn.field];
        if (field.elastic && turn.form == FieldForm::Whole) {
            const std::size_t now = fitting.line().size();
            if (field.form != FieldForm::Hidden && now < room) {
                width += std::min(room - now, field.widest - std::min(width, field.widest));
                field.form = FieldForm::Whole;
            }
            continue;
        }
        if (closed || field.form >= turn.form || fitting.text_of(turn.field, turn.form).empty())
            continue;
        const FieldForm before = field.form;
        field.form = turn.form;
        if (fitting.line().size() > room) {
            field.form = before;
            closed = order == FitOrder::Nested;
        }
    }
    std::string line = fitting.line();
    for (std::size_t i = 0; i < fitting.fields.size(); ++i) {
        if (!fitting.fields[i].elastic || fitting.fields[i].form == FieldForm::Hidden)
            continue;
        while (line.size() > room && fitting.widths[i] > 1) {
            --fitting.widths[i];
            line = fitting.line();
        }
    }
    return fit_clauses(line, room);
}

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
