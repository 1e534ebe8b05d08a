// qdm7-sim: the virtual QDM7 on a pseudo-terminal or a serial device. This
// file is its life: options, signals, the port, READY, the loop (sim_loop),
// then the flash dump and the STATS line.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/qdm7-sim/sim_loop.h"

namespace {

constexpr int EXIT_USAGE = 64;

volatile std::sig_atomic_t stop_signal = 0;

void on_stop_signal(int signal_number) { stop_signal = signal_number; }

// The stop signals are held back except while waiting in ppoll, so one that
// comes at any other moment is seen at the next wait. Returns the mask to
// wait under.
sigset_t catch_stop_signals()
{
    constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};
    sigset_t stop_set;
    sigemptyset(&stop_set);
    for (const int signal_number : stop_signals)
        sigaddset(&stop_set, signal_number);
    sigset_t run_mask;
    sigprocmask(SIG_BLOCK, &stop_set, &run_mask);
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : stop_signals)
        sigaction(signal_number, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return run_mask;
}

// The flash the device starts with; false, with error said, when the file
// cannot be read or does not fit.
bool load_flash(Sim& sim, std::string& error)
{
    const std::string& path = sim.options.flash_from_path;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<std::uint8_t>& flash = sim.device.flash;
    const std::size_t size = std::fread(flash.data(), 1, flash.size(), file);
    const bool too_big = size == flash.size() && std::fgetc(file) != EOF;
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed || too_big) {
        error = failed ? "cannot read " + path : path + " is larger than the device's flash";
        return false;
    }
    sim.device.stats.programmed_end = static_cast<std::uint32_t>(size);
    return true;
}

bool write_dump(Sim& sim)
{
    std::FILE* file = sim.dump_file;
    sim.dump_file = nullptr;
    const std::size_t size = sim.device.stats.programmed_end;
    const bool ok = std::fwrite(sim.device.flash.data(), 1, size, file) == size;
    const bool closed = std::fclose(file) == 0;
    if (!ok || !closed) {
        std::fprintf(stderr, "qdm7-sim: writing %s failed\n", sim.options.dump_path.c_str());
        return false;
    }
    return true;
}

void print_stats(const Sim& sim)
{
    const DeviceStats& stats = sim.device.stats;
    std::uint32_t faults_fired = 0;
    for (const FaultRule& rule : sim.device.faults)
        faults_fired += rule.fired;
    std::printf("STATS rx_bytes=%llu tx_bytes=%llu replies=%u blocks=%u queries=%u resets=%u refusals=%u "
                "bad_crc=%u skipped_bytes=%u dropped_partial=%u unanswered_queries=%u power_lost=%d "
                "faults_fired=%u seconds=%.3f\n",
                static_cast<unsigned long long>(sim.rx_bytes), static_cast<unsigned long long>(sim.tx_bytes),
                sim.replies_sent, stats.blocks_programmed, stats.queries, stats.resets, stats.refusals,
                stats.bad_crc, stats.skipped_bytes, stats.dropped_partial, stats.unanswered_queries,
                sim.device.power_lost ? 1 : 0, faults_fired,
                static_cast<double>(sim_now_us() - sim.start_us) / 1e6);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    Sim sim;
    std::string error;
    switch (parse_sim_options(argc, argv, sim.options, error)) {
    case ParseResult::Help: std::fputs(sim_usage(), stdout); return 0;
    case ParseResult::Error:
        std::fprintf(stderr, "qdm7-sim: %s (try --help)\n", error.c_str());
        return EXIT_USAGE;
    case ParseResult::Run: break;
    }
    const sigset_t run_mask = catch_stop_signals();
    sim_set_up_device(sim);

    if (!sim.options.flash_from_path.empty() && !load_flash(sim, error)) {
        std::fprintf(stderr, "qdm7-sim: %s\n", error.c_str());
        return 1;
    }
    bool opened = sim_port_open(sim.port, sim.options, error);
    // The dump is made now, so that a path it cannot go to fails before the
    // update rather than after it.
    if (opened && !sim.options.dump_path.empty()) {
        sim.dump_file = std::fopen(sim.options.dump_path.c_str(), "wb");
        if (sim.dump_file == nullptr) {
            error = "cannot write " + sim.options.dump_path + ": " + std::strerror(errno);
            opened = false;
        }
    }
    if (!opened) {
        std::fprintf(stderr, "qdm7-sim: %s\n", error.c_str());
        sim_port_unlink(sim.port);
        sim_port_close(sim.port);
        return 1;
    }
    sim.start_us = sim_now_us();

    std::printf("READY %s\n", sim.port.path.c_str());
    std::fflush(stdout);
    int status = sim_serve(sim, run_mask, stop_signal);

    sim_port_unlink(sim.port);
    if (sim.dump_file != nullptr && !write_dump(sim))
        status = 1;
    print_stats(sim);
    sim_port_close(sim.port);
    return status;
}
