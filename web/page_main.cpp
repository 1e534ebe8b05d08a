// The page's entry points, called by its script (qdm7-update.js): the job
// made ready with the image the page carries, what the page says of its
// release, and one update at a time.
#include <emscripten.h>

#include <cinttypes>
#include <cstdio>
#include <string>

#include "build_info.h"
#include "engine/frames.h"
#include "image_text.h"
#include "platform/embedded_image.h"
#include "tools/qdm7-flash/view/job_view.h"
#include "web/page_job.h"
#include "web/page_run.h"
#include "web/page_view.h"

namespace {

UpdateJob job;
std::uint8_t frame_buffer[FRAME_BUFFER_SIZE];
PageRunRecord last_run;
std::string release_text;

void status_to_page(void*, const char* text) { page_status(text); }
void trace_to_page(void*, const char* text) { page_trace(text); }
void no_flush(void*) {}

} // namespace

extern "C" {

// Prepares the job and returns what the page says of its release, as
// qdm7-flash --version says it, a line each; or a line beginning "error: ".
EMSCRIPTEN_KEEPALIVE const char* qdm7_page_start()
{
    const EmbeddedImage image = find_embedded_image(nullptr);
    std::string error;
    if (!page_job_prepare(job, frame_buffer, JobReporter{nullptr, status_to_page, trace_to_page, no_flush}, image,
                          error)) {
        release_text = "error: " + error;
        return release_text.c_str();
    }
    char text[512];
    const std::int32_t padded = page_job_image_size(job);
    std::snprintf(text, sizeof text,
                  "qdm7-update page %s%s\n"
                  "image: %lu bytes, padded to %ld (%ld blocks), flash base %#lx, CRC 0x%04x\n"
                  "image: SHA-256 %s\n",
                  QDM7_VERSION, QDM7_DEVELOPMENT_BUILD ? " (development build)" : "",
                  static_cast<unsigned long>(image.length), static_cast<long>(padded),
                  static_cast<long>(padded / BLOCK_SIZE), static_cast<unsigned long>(FLASH_BASE),
                  static_cast<unsigned>(page_job_image_crc(job)), QDM7_IMAGE_SHA256);
    release_text = text;
    if (QDM7_SAMPLE_IMAGE)
        release_text += std::string(SAMPLE_IMAGE_WARNING) + "\n";
    return release_text.c_str();
}

// One update on the port numbered port_number in the page's list; waits
// (the page calls it asynchronously). Returns a PageRunResult.
EMSCRIPTEN_KEEPALIVE int qdm7_update(int port_number)
{
    return static_cast<int>(run_page_update(job, port_number, last_run));
}

// The last update's cause in plain words; empty when it completed.
EMSCRIPTEN_KEEPALIVE const char* qdm7_last_cause() { return last_run.cause.c_str(); }

EMSCRIPTEN_KEEPALIVE int qdm7_last_resends() { return static_cast<int>(last_run.resends); }

EMSCRIPTEN_KEEPALIVE int qdm7_last_reconnects() { return static_cast<int>(last_run.reconnects); }

EMSCRIPTEN_KEEPALIVE int qdm7_last_resumed_at() { return last_run.resumed_at; }

} // extern "C"
