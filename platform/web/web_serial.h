// Serial ports in the browser, through Web Serial. The page keeps the ports
// the user has granted it (navigator.serial.getPorts(), or the browser's
// chooser) in the order it lists them, and names each by its number in that
// list (web_serial.js); this opens one for the engine. Once open, a port is
// used through the link operations (platform/platform.h) and, from
// platform/serial_port.h, set_reply_rule, port_lost and close_port, which
// the web platform provides as the others do. A browser names no paths, so
// the rest of that header (discovery, open_port) has no web version.
//
// Every one of these may wait on the browser (Emscripten's ASYNCIFY): call
// them only from a call the page makes asynchronously.
#pragma once

#include <cstdint>

#include "platform/serial_port.h"

// Opens the port numbered `number` in the page's list for this page alone:
// baud, 8 data bits, even parity, 1 stop bit, no flow control, DTR and RTS
// off, reads ending as port_read says. INVALID_PORT_HANDLE on failure, with
// failure saying why: busy for the browser's "Failed to open serial port"
// (another program holds it, or, on Linux, this user may not open it),
// absent for a port no longer in the list, Mistake for a port already open.
PortHandle open_web_port(int number, std::uint32_t baud, PortFailure& failure);
