#include "tools/qdm7-flash/console/outcome.h"

#include <cstdio>

#include "tools/qdm7-flash/console/exit_codes.h"

int exit_status(OutcomeKind kind)
{
    switch (kind) {
    case OutcomeKind::Completed: return EXIT_COMPLETED;
    case OutcomeKind::Fatal: return EXIT_FATAL;
    case OutcomeKind::VerifyFailed: return EXIT_VERIFY_FAILED;
    case OutcomeKind::Deadline: return EXIT_DEADLINE;
    case OutcomeKind::PortLost: return EXIT_PORT_LOST;
    case OutcomeKind::NotAllUpdated: return EXIT_NOT_ALL_UPDATED;
    case OutcomeKind::Usage: return EXIT_USAGE;
    case OutcomeKind::Interrupted: return EXIT_INTERRUPTED;
    }
    return EXIT_FATAL;
}

int print_outcome(const Outcome& outcome)
{
    // Whoever reads both in one file sees the trace before the end.
    std::fflush(stdout);
    if (!outcome.text.empty()) {
        std::fputs(outcome.text.c_str(), stderr);
        std::fflush(stderr);
    }
    return exit_status(outcome.kind);
}
