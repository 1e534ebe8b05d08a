#include "tools/qdm7-flash/view/display_text.h"

#include "tools/qdm7-flash/console/printed.h"

std::string power_wait_text(std::uint32_t waited_s, std::uint32_t unanswered, std::uint32_t stray_bytes)
{
    std::string text = printed("waiting %u s, %u contact queries unanswered", static_cast<unsigned>(waited_s),
                               static_cast<unsigned>(unanswered));
    if (stray_bytes > 0)
        text += printed(", %s but no reply: power-cycle it", counted(stray_bytes, "byte").c_str());
    return text;
}

std::string overdue_crc_text(std::int32_t resend_in_s)
{
    return printed("no reply to the CRC query, resending in %ld s", static_cast<long>(resend_in_s));
}

std::vector<std::string> message_lines(const std::string& text, int columns)
{
    const std::size_t room = columns > 20 ? static_cast<std::size_t>(columns - 1) : 19;
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (text.size() - at > room) {
        std::size_t cut = room;
        while (cut > 0 && text[at + cut] != ' ')
            --cut;
        if (cut == 0)
            cut = room;
        lines.push_back(text.substr(at, cut));
        at += cut;
        while (at < text.size() && text[at] == ' ')
            ++at;
    }
    lines.push_back(text.substr(at));
    return lines;
}
