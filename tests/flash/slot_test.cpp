// The line a slot's unit ends with: what it did, why it did not complete,
// and in a watch what the operator does next.
#include <gtest/gtest.h>

#include "tools/qdm7-flash/station/slot.h"

namespace {

TEST(SlotEnd, ACompletionThatWroteNothingSaysSo)
{
    Slot slot;
    slot.worker.record.result = DeviceResult::Completed;
    slot.worker.run.result = PortRunResult::Current;
    slot.worker.run.verified.reset_acknowledged = true;
    slot.worker.elapsed_ms = 600;
    const PortView view = ended_view(slot);
    EXPECT_EQ(port_change_text(view),
              "completed in 0.6 s: nothing written (the device already held this image; reset into it)");
    EXPECT_EQ(format_port_line("/tmp/line/qdm7-1", 16, view, 50), "/tmp/line/qdm7-1  completed    nothing written");
    slot.worker.run.result = PortRunResult::Completed;
    EXPECT_EQ(port_change_text(ended_view(slot)), "completed in 0.6 s");
}

// A watch tries a failed unit again only once its port has gone and come
// back; a held port is closed first. Several ports at once have no such step.
TEST(SlotEnd, AWatchedUnitThatFailedSaysTheNextStep)
{
    Slot slot;
    slot.watched = true;
    slot.worker.record.result = DeviceResult::Failed;
    slot.worker.record.error = "CRC mismatch: the device has 0xac4e, the image 0x0c2f";
    EXPECT_EQ(ended_view(slot).next_step, "to try again, unplug it and plug it back in");
    slot.worker.record.result = DeviceResult::Error;
    slot.worker.record.error = "/dev/ttyUSB0 is in use by minicom (pid 812)";
    slot.worker.run.open_failure.busy = true;
    EXPECT_EQ(port_change_text(ended_view(slot)), "error after 0.0 s: /dev/ttyUSB0 is in use by minicom (pid 812); "
                                                  "close that program, then unplug the unit and plug it back in");
    slot.watched = false;
    EXPECT_EQ(ended_view(slot).next_step, "");
}

} // namespace
