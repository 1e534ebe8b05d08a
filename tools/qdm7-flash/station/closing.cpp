#include "tools/qdm7-flash/station/closing.h"

#include <algorithm>

#include "tools/qdm7-flash/view/display_text.h"
#include "tools/qdm7-flash/view/fit_text.h"

namespace {

std::string lines_of(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

} // namespace

std::string said_text(const std::string& text, int columns)
{
    const std::string said = "qdm7-flash: " + text;
    return columns == 0 ? said + "\n" : lines_of(message_lines(said, columns));
}

std::string closing_text(const std::string& text, int columns)
{
    if (columns == 0)
        return text + "\n";
    const std::size_t lead = std::min(text.find_first_not_of(' '), text.size());
    return lines_of(wrap_words(text, static_cast<std::size_t>(std::max(columns - 1, 20)),
                               std::string(lead + 2, ' ')));
}

Outcome run_outcome(const RunEnds& ends)
{
    Outcome outcome;
    std::string& text = outcome.text;
    text = ends.summary;
    const auto say = [&](const std::string& line) { text += closing_text("qdm7-flash: " + line, ends.columns); };
    if (ends.records_lost)
        say("some records could not be written to " + ends.report_path);
    if (!ends.refusal.empty())
        say(ends.refusal);
    if (!ends.image_fatal.empty()) {
        text += ends.image_fatal;
        return {OutcomeKind::Fatal, ends.image_number, text};
    }
    if (ends.interrupted) {
        for (std::size_t i = 0; i < ends.cut.size(); ++i)
            text += closing_text((i == 0 ? "qdm7-flash: " : "") + ends.cut[i], ends.columns);
        say("interrupted; every port closed");
        outcome.kind = OutcomeKind::Interrupted;
    } else if (!ends.refusal.empty()) {
        outcome.kind = OutcomeKind::Fatal;
    } else if (!ends.all_completed) {
        say(ends.watch ? "not every unit was updated" : "not every device was updated");
        outcome.kind = OutcomeKind::NotAllUpdated;
    } else if (ends.records_lost) {
        outcome.kind = OutcomeKind::Fatal;
    }
    return outcome;
}
