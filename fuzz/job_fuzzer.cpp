// Fuzz target: the update job against arbitrary device replies. The fuzz
// input is the device: each read the job makes returns the next record's
// bytes, split however the input says, on a virtual clock that the input also
// drives (short reads, full read time-outs, 10 s jumps, a start near the
// counter's wrap). The job runs through every state, and is restarted as the
// dialog's button does; the input also chooses whether the job runs as the
// dialog's (the default) or as qdm7-flash's, which refuses echoes, discards
// stale input, resumes first after a number of blocks the input gives and,
// when started again, after the blocks it had acknowledged. After every tick, and on
// every write, the target checks what must hold whatever the device sends:
//   - the state is one of the nine and changes only along the job's transitions;
//   - the offset never passes the image size, and moves by one block per acknowledgement;
//   - every write is a well-formed request from inside the frame buffer, and a
//     program frame carries exactly the image's bytes at the offset;
//   - nothing outside the frame buffer or the image is touched (ASan, and
//     poisoned guard zones around the frame buffer that are checked too);
//   - Completed follows only a verification reply that carried the image's CRC.
#include <array>
#include <cstdarg>
#include <cstring>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#include <sanitizer/asan_interface.h>
#endif
#endif
#ifndef ASAN_POISON_MEMORY_REGION
#define ASAN_POISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(addr, size) ((void)(addr), (void)(size))
#endif

#include "engine/frames.h"
#include "engine/job.h"
#include "fuzz/fuzz_support.h"
#include "platform/platform.h"

namespace {

constexpr std::size_t GUARD_SIZE = 64;
constexpr std::uint8_t GUARD_FILL = 0xA5;
constexpr std::uint32_t TIMEOUT_JUMP_MS = LINK_REPLY_TIMEOUT_MS + 1;
constexpr std::uint32_t MAX_TICKS = 50000;
constexpr std::int32_t CRC_REPLY_LENGTH = 15;
constexpr PortHandle FUZZ_PORT = 3;
constexpr const char* FUZZ_PORT_PATH = "fuzz";

struct Images {
    std::array<std::vector<std::uint8_t>, FUZZ_IMAGE_CHOICES> pristine;
    std::array<std::uint16_t, FUZZ_IMAGE_CHOICES> crc{};
};

const Images& images()
{
    static const Images all = [] {
        Images made;
        for (std::size_t i = 0; i < FUZZ_IMAGE_CHOICES; ++i) {
            made.pristine[i] = fuzz_image(i);
            made.crc[i] = reference_crc(made.pristine[i].data(), made.pristine[i].size());
        }
        return made;
    }();
    return all;
}

// The fuzz input standing in for the port, the clock and the device.
struct FuzzLink {
    FuzzCursor in;
    std::uint32_t now = 0;
    bool restart_requested = false;
    bool read_this_tick = false;
    std::vector<std::uint8_t> last_read; // what the last read returned, as the job got it
    const UpdateJob* job = nullptr;
    std::uint16_t image_crc = 0;
    std::int32_t resume_ceiling = 0; // blocks a resume query of this attempt may still ask for
};

FuzzLink fuzz_link;
std::array<unsigned long long, 9> states_reached{};

bool is_final(JobState s) { return s == JobState::Completed || s == JobState::Failed; }

// resumed: the attempt began after blocks the device was found to hold, so
// a failed verification is followed by a whole attempt.
bool transition_allowed(JobState from, JobState to, bool resumed)
{
    switch (from) {
    case JobState::Start: return to == JobState::Link;
    case JobState::Link: return to == JobState::Contacting;
    case JobState::Contacting:
        return to == JobState::Contacting || to == JobState::Programming || to == JobState::Resuming;
    case JobState::Resuming:
        return to == JobState::Resuming || to == JobState::Programming || to == JobState::Verifying;
    case JobState::Programming: return to == JobState::Programming || to == JobState::Verifying;
    case JobState::Verifying:
        return to == JobState::Verifying || to == JobState::Resetting || to == JobState::Failed ||
               (resumed && to == JobState::Programming);
    case JobState::Resetting: return to == JobState::Resetting || to == JobState::Completed;
    case JobState::Failed: return to == JobState::Failed;
    case JobState::Completed: return to == JobState::Completed;
    }
    return false;
}

bool carries_image_crc(const std::vector<std::uint8_t>& reply, std::uint16_t crc)
{
    return reply.size() >= static_cast<std::size_t>(CRC_REPLY_LENGTH) && reference_frame_ok(reply.data(), reply.size()) &&
           reply[REPLY_CRC_HIGH] == (crc >> 8) && reply[REPLY_CRC_LOW] == (crc & 0xFFu);
}

void print_states_reached()
{
    static const char* const names[] = {"Start",  "Link",      "Contacting", "Programming",
                                        "Verifying", "Failed", "Resetting",  "Completed", "Resuming"};
    std::fprintf(stderr, "job_fuzzer: ticks ending in each state:");
    for (std::size_t i = 0; i < states_reached.size(); ++i)
        std::fprintf(stderr, " %s %llu", names[i], states_reached[i]);
    std::fprintf(stderr, "\n");
}

} // namespace

// The platform, served from the fuzz input.

std::int32_t port_write(PortHandle handle, const std::uint8_t* buffer, std::int32_t length)
{
    const UpdateJob& job = *fuzz_link.job;
    FUZZ_CHECK(handle == FUZZ_PORT);
    FUZZ_CHECK(buffer == job.frame_buffer);
    FUZZ_CHECK(length >= RESET_FRAME_LENGTH && length <= FRAME_BUFFER_SIZE);
    const auto n = static_cast<std::size_t>(length);
    FUZZ_CHECK(reference_frame_ok(buffer, n));
    FUZZ_CHECK(buffer[0] == UNIT_ADDRESS && buffer[1] == LOADER_FUNCTION);
    const std::uint32_t address = read_be32(buffer + 3);
    switch (buffer[2]) {
    case SUB_PROGRAM: {
        const std::int32_t data_length = read_be16(buffer + 7);
        FUZZ_CHECK(length == data_length + PROGRAM_FRAME_OVERHEAD);
        FUZZ_CHECK(data_length == job.block_length);
        FUZZ_CHECK(address == job.base_address + static_cast<std::uint32_t>(job.offset));
        FUZZ_CHECK(job.offset >= 0 && job.offset + data_length <= job.image_size);
        FUZZ_CHECK(std::memcmp(buffer + 9, job.image + job.offset, static_cast<std::size_t>(data_length)) == 0);
        break;
    }
    case SUB_QUERY_CRC: {
        FUZZ_CHECK(length == QUERY_FRAME_LENGTH);
        const std::uint32_t queried = read_be32(buffer + 7);
        FUZZ_CHECK(address == job.base_address);
        // Contact; the blocks a resume would keep: whole blocks inside the
        // image, no more than the start gave and fewer after each range
        // that differed; or the whole image.
        switch (job.state) {
        case JobState::Contacting: FUZZ_CHECK(queried == CONTACT_QUERY_LENGTH); break;
        case JobState::Resuming: {
            const auto blocks = static_cast<std::int32_t>(queried / BLOCK_SIZE);
            FUZZ_CHECK(queried % BLOCK_SIZE == 0 && blocks > 0 && blocks <= fuzz_link.resume_ceiling);
            FUZZ_CHECK(queried <= static_cast<std::uint32_t>(job.image_size));
            fuzz_link.resume_ceiling = blocks;
            break;
        }
        case JobState::Verifying: FUZZ_CHECK(queried == static_cast<std::uint32_t>(job.image_size)); break;
        default: FUZZ_CHECK(job.state == JobState::Contacting || job.state == JobState::Verifying);
        }
        break;
    }
    case SUB_RESET: FUZZ_CHECK(length == RESET_FRAME_LENGTH); break;
    default: FUZZ_CHECK(buffer[2] == SUB_PROGRAM || buffer[2] == SUB_QUERY_CRC || buffer[2] == SUB_RESET);
    }
    return length;
}

std::int32_t port_read(PortHandle handle, std::uint8_t* buffer, std::int32_t capacity)
{
    const UpdateJob& job = *fuzz_link.job;
    FUZZ_CHECK(handle == FUZZ_PORT);
    FUZZ_CHECK(buffer == job.frame_buffer);
    FUZZ_CHECK(capacity == FRAME_BUFFER_SIZE);
    fuzz_link.read_this_tick = true;
    fuzz_link.last_read.clear();
    FuzzCursor& in = fuzz_link.in;
    if (in.done()) {
        fuzz_link.now += READ_TOTAL_MS;
        return 0;
    }
    const std::uint8_t op = in.byte();
    const auto kind = static_cast<RecordKind>(op & RECORD_KIND_MASK);
    const unsigned timing = (op >> RECORD_CODE_SHIFT) & 0x03u;
    if (op & RECORD_RESTART)
        fuzz_link.restart_requested = true;
    if (timing == 2)
        fuzz_link.now += TIMEOUT_JUMP_MS; // the reply comes after the job's patience ran out
    const auto room = static_cast<std::size_t>(capacity);
    std::size_t count = 0;
    switch (kind) {
    case RECORD_RAW: count = in.take(buffer, std::min(in.length((op & RECORD_LONG) != 0), room)); break;
    case RECORD_SEALED: {
        count = in.take(buffer, std::min(in.length((op & RECORD_LONG) != 0), room - 2));
        const std::uint16_t crc = reference_crc(buffer, count);
        buffer[count++] = static_cast<std::uint8_t>(crc & 0xFFu);
        buffer[count++] = static_cast<std::uint8_t>(crc >> 8);
        break;
    }
    case RECORD_CRC_REPLY: {
        std::memset(buffer, 0, static_cast<std::size_t>(REPLY_CRC_HIGH));
        in.take(buffer, std::min<std::size_t>(in.length(false), REPLY_CRC_HIGH));
        buffer[REPLY_CRC_HIGH] = static_cast<std::uint8_t>(fuzz_link.image_crc >> 8);
        buffer[REPLY_CRC_LOW] = static_cast<std::uint8_t>(fuzz_link.image_crc & 0xFFu);
        const std::uint16_t crc = reference_crc(buffer, REPLY_CRC_LOW + 1);
        buffer[13] = static_cast<std::uint8_t>(crc & 0xFFu);
        buffer[14] = static_cast<std::uint8_t>(crc >> 8);
        count = CRC_REPLY_LENGTH;
        break;
    }
    case RECORD_SILENCE: break;
    }
    switch (timing) {
    case 0: fuzz_link.now += 1 + static_cast<std::uint32_t>(count / 92); break; // about the wire time
    case 1: fuzz_link.now += READ_TOTAL_MS; break;
    case 2: break;
    default: fuzz_link.now += std::uint32_t{in.byte()} * 50u; break;
    }
    fuzz_link.last_read.assign(buffer, buffer + count);
    return static_cast<std::int32_t>(count);
}

void port_purge(PortHandle handle) { FUZZ_CHECK(handle == FUZZ_PORT); }
void port_flush(PortHandle handle) { FUZZ_CHECK(handle == FUZZ_PORT); }
std::uint32_t tick_count() { return fuzz_link.now; }
void sleep_ms(std::uint32_t milliseconds) { fuzz_link.now += milliseconds; }

void set_status(const char* format, ...)
{
    char text[64];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    FUZZ_CHECK(n >= 0 && n < static_cast<int>(sizeof text));
}

void trace(const char* format, ...)
{
    char text[128];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
}

void trace_flush() {}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    images();
    std::atexit(print_states_reached);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 5)
        return 0;
    fuzz_link = FuzzLink{};
    fuzz_link.in = FuzzCursor{data, size, 0};
    const std::uint8_t first = fuzz_link.in.byte();
    const std::size_t choice = first % FUZZ_IMAGE_CHOICES;
    // The rest of the first byte: 0 the dialog's job, else qdm7-flash's,
    // resuming after that many blocks less one.
    const int flash_mode = first / FUZZ_IMAGE_CHOICES;
    for (int i = 0; i < 4; ++i)
        fuzz_link.now |= std::uint32_t{fuzz_link.in.byte()} << (8 * i);

    // Exactly sized allocations, made once, so ASan sees any step outside
    // them; the frame buffer also sits between guard zones that must stay as
    // they were put, and the image must come out as it went in.
    const std::vector<std::uint8_t>& pristine = images().pristine[choice];
    static std::array<std::vector<std::uint8_t>, FUZZ_IMAGE_CHOICES> working_images;
    std::vector<std::uint8_t>& image = working_images[choice];
    if (image.empty())
        image = pristine;
    static std::vector<std::uint8_t> frame_store(GUARD_SIZE + FRAME_BUFFER_SIZE + GUARD_SIZE, GUARD_FILL);
    std::uint8_t* const frame_buffer = frame_store.data() + GUARD_SIZE;
    ASAN_POISON_MEMORY_REGION(frame_store.data(), GUARD_SIZE);
    ASAN_POISON_MEMORY_REGION(frame_buffer + FRAME_BUFFER_SIZE, GUARD_SIZE);

    UpdateJob job;
    prepare_job(job, frame_buffer, {}, {.refuse_echo = flash_mode > 0, .discard_stale_input = flash_mode > 0, .resume = flash_mode > 0});
    job.image = image.data();
    job.image_size = static_cast<std::int32_t>(image.size());
    job.base_address = FLASH_BASE;
    fuzz_link.job = &job;
    fuzz_link.resume_ceiling = flash_mode > 0 ? flash_mode - 1 : 0;
    resume_job(job, FUZZ_PORT_PATH, FUZZ_PORT, fuzz_link.resume_ceiling);
    fuzz_link.image_crc = images().crc[choice];

    bool verified = false; // since the last start
    for (std::uint32_t tick = 0; tick < MAX_TICKS; ++tick) {
        const JobState before = job.state;
        const bool resumed = job_results(job).resumed_at > 0;
        const std::int32_t offset = job.offset;
        const std::int32_t block_length = job.block_length;
        fuzz_link.read_this_tick = false;
        job_tick(job);
        const JobState after = job.state;
        const auto raw_state = static_cast<std::int32_t>(after);
        FUZZ_CHECK(raw_state >= 0 && raw_state <= 8);
        ++states_reached[static_cast<std::size_t>(raw_state)];
        FUZZ_CHECK(transition_allowed(before, after, resumed));
        FUZZ_CHECK(job.frame_buffer == frame_buffer && job.image == image.data());
        FUZZ_CHECK(job.frame_length >= 0 && job.frame_length <= FRAME_BUFFER_SIZE);
        if (after != JobState::Start) {
            FUZZ_CHECK(job.offset >= 0 && job.offset <= job.image_size);
            FUZZ_CHECK(job.block_length > 0 && job.block_length <= BLOCK_SIZE);
        }
        if (after == JobState::Programming)
            FUZZ_CHECK(job.offset + job.block_length <= job.image_size);
        if (before == JobState::Programming && job.offset != offset) {
            FUZZ_CHECK(job.offset == offset + block_length);
            FUZZ_CHECK(fuzz_link.read_this_tick && reference_frame_ok(fuzz_link.last_read.data(), fuzz_link.last_read.size()));
        }
        if (after == JobState::Verifying && before != JobState::Verifying)
            FUZZ_CHECK(job.offset == job.image_size);
        if (before == JobState::Verifying && after == JobState::Resetting) {
            FUZZ_CHECK(carries_image_crc(fuzz_link.last_read, fuzz_link.image_crc));
            verified = true;
        }
        if (before == JobState::Verifying && after == JobState::Failed)
            FUZZ_CHECK(!carries_image_crc(fuzz_link.last_read, fuzz_link.image_crc));
        if (after == JobState::Completed)
            FUZZ_CHECK(verified);

        ASAN_UNPOISON_MEMORY_REGION(frame_store.data(), GUARD_SIZE);
        ASAN_UNPOISON_MEMORY_REGION(frame_buffer + FRAME_BUFFER_SIZE, GUARD_SIZE);
        for (std::size_t i = 0; i < GUARD_SIZE; ++i)
            FUZZ_CHECK(frame_store[i] == GUARD_FILL && frame_buffer[FRAME_BUFFER_SIZE + static_cast<std::ptrdiff_t>(i)] == GUARD_FILL);
        ASAN_POISON_MEMORY_REGION(frame_store.data(), GUARD_SIZE);
        ASAN_POISON_MEMORY_REGION(frame_buffer + FRAME_BUFFER_SIZE, GUARD_SIZE);

        fuzz_link.now += JOB_TICK_MS;
        if (fuzz_link.in.done() && (is_final(after) || fuzz_link.read_this_tick))
            break;
        // The user presses the button again: after an ending, or when the input says so.
        if (is_final(after) || fuzz_link.restart_requested) {
            fuzz_link.restart_requested = false;
            // qdm7-flash's job resumes after the blocks it had acknowledged.
            fuzz_link.resume_ceiling = job_results(job).blocks_acknowledged;
            start_job(job, FUZZ_PORT_PATH, FUZZ_PORT);
            verified = false;
        }
    }
    ASAN_UNPOISON_MEMORY_REGION(frame_store.data(), GUARD_SIZE);
    ASAN_UNPOISON_MEMORY_REGION(frame_buffer + FRAME_BUFFER_SIZE, GUARD_SIZE);
    FUZZ_CHECK(image == pristine);
    return 0;
}
