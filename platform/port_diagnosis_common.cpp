#include "platform/port_diagnosis.h"

std::string holder_names(const std::vector<PortHolder>& known)
{
    std::string text;
    for (std::size_t i = 0; i < known.size(); ++i) {
        if (i > 0)
            text += i + 1 == known.size() ? " and " : ", ";
        text += known[i].program + " (pid " + std::to_string(known[i].pid) + ")";
    }
    return text;
}

std::string holders_text(const PortHolders& holders)
{
    if (!holders.known.empty())
        return "in use by " + holder_names(holders.known);
    if (holders.looked && holders.hidden)
        return "in use by a program this user may not inspect";
    return "in use by another program";
}
