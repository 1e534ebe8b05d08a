// qdm7-flash: the update job of the dialog, driven over a serial port
// without a window, for scripts, production lines and POSIX users. Here: the
// command line parsed, the ports chosen, and the run handed to the station
// (station/station.h), which updates each port with a worker of its own.
// Every layer below returns an outcome (console/outcome.h); this is the one
// place that prints it and ends the program with its status.
#include <cstdio>
#include <string>
#include <vector>

#include "build_info.h"
#include "platform/port_identity.h"
#include "tools/qdm7-flash/cli/flash_options.h"
#include "tools/qdm7-flash/cli/port_choice.h"
#include "tools/qdm7-flash/cli/port_select.h"
#include "tools/qdm7-flash/console/console.h"
#include "tools/qdm7-flash/console/exit_codes.h"
#include "tools/qdm7-flash/console/outcome.h"
#include "tools/qdm7-flash/doctor/doctor.h"
#include "tools/qdm7-flash/info/info.h"
#include "tools/qdm7-flash/run/host.h"
#include "tools/qdm7-flash/station/closing.h"
#include "tools/qdm7-flash/station/station.h"
#include "tools/qdm7-flash/station/watch.h"
#include "tools/qdm7-flash/view/job_view.h"

namespace {

// Every port present, looked for once a run, however many selections ask.
struct Present {
    bool looked = false;
    std::vector<PortIdentity> ports;
};

const std::vector<PortIdentity>& present_ports(void* context)
{
    Present& present = *static_cast<Present*>(context);
    if (!present.looked)
        present.ports = find_ports(false);
    present.looked = true;
    return present.ports;
}

// What is said before any port is touched: off a terminal one line each, on
// one broken at blanks to fit it.
std::string said(const std::string& text)
{
    return said_text(text, stderr_is_terminal() ? terminal_columns() : 0);
}

void say(const std::string& text)
{
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

Outcome watch(const FlashOptions& options, const UpdateSetup& update)
{
    const std::string refusal = watch_refusal(options.ports);
    if (!refusal.empty())
        return {OutcomeKind::Fatal, 0, said(refusal)};
    WatchSetup setup;
    setup.update = update;
    setup.ports = watched_ports;
    setup.context = const_cast<std::vector<PortChoice>*>(&options.ports);
    setup.watched = watched_text(options.ports);
    setup.count = options.count;
    return run_watch(setup);
}

// The ports chosen and updated, or verified; a watch.
Outcome update(const FlashOptions& options, const UpdateSetup& update)
{
    if (options.action == FlashAction::Watch)
        return watch(options, update);
    Present present;
    const ChosenPorts chosen = choose_ports(options.ports, present_ports, &present);
    std::string notes;
    for (const std::string& note : chosen.notes)
        notes += said(note);
    if (!chosen.failures.empty()) {
        for (const ChoiceFailure& failure : chosen.failures) {
            notes += said(failure.text);
            for (const std::string& line : port_lines(failure.listed, false))
                notes += "  " + line + "\n";
        }
        return {OutcomeKind::Fatal, 0, notes};
    }
    say(notes);
    if (options.action == FlashAction::Verify) {
        if (chosen.paths.size() != 1)
            return {OutcomeKind::Usage, 0, "qdm7-flash: --verify checks one port at a time; try 'qdm7-flash --help'\n"};
        return run_verify(*update.host, chosen.paths.front(), options.deadline_ms);
    }
    StationSetup setup;
    setup.update = update;
    setup.ports = chosen.paths;
    return run_station(setup);
}

// The report opened and the trace folder made, the sample image's warning
// and a report's torn last line said, then the update.
Outcome update_with_outputs(const FlashOptions& options)
{
    UpdateSetup setup;
    setup.host = &os_host();
    setup.deadline_ms = options.deadline_ms;
    setup.reconnect = options.reconnect;
    setup.skip_if_current = options.skip_if_current;
    setup.log_dir = options.log_dir;
    setup.report_path = options.report_path;
    RecordFile report;
    Outcome outcome = open_outputs(setup, report);
    if (outcome.kind == OutcomeKind::Completed) {
        // Said before any port is touched.
        if (QDM7_SAMPLE_IMAGE)
            say(said(SAMPLE_IMAGE_WARNING));
        if (report.torn_tail)
            say(said("the report " + setup.report_path + " ends inside a line, left by a run that was stopped while "
                     "writing it: that line is no record, and the next record starts on a line of its own"));
        outcome = update(options, setup);
    }
    close_record_file(report);
    return outcome;
}

} // namespace

int main(int argc, char** argv)
{
    // Whoever follows the trace in a file sees each line as it comes.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    FlashOptions options;
    std::string error;
    if (!parse_flash_options(argc, argv, options, error))
        return print_outcome({OutcomeKind::Usage, 0, "qdm7-flash: " + error + "; try 'qdm7-flash --help'\n"});
    switch (options.action) {
    case FlashAction::Help:
        std::fputs(flash_usage(), stdout);
        return EXIT_COMPLETED;
    case FlashAction::List: return print_outcome(list_ports());
    case FlashAction::Version: return print_outcome(print_version());
    case FlashAction::Doctor: return run_doctor(options.ports);
    case FlashAction::Update:
    case FlashAction::Watch:
    case FlashAction::Verify: break;
    }
    return print_outcome(update_with_outputs(options));
}
