// qdm7-flash's exit statuses, every way out in one table.
#pragma once

inline constexpr int EXIT_COMPLETED = 0;       // every device updated (and on record, when asked)
inline constexpr int EXIT_FATAL = 1;           // a port or file that cannot be used; nothing or not all recorded;
                                               // --doctor: something in the way
inline constexpr int EXIT_VERIFY_FAILED = 2;   // the device's CRC differed ("FAILED")
inline constexpr int EXIT_DEADLINE = 3;        // the --deadline passed
inline constexpr int EXIT_PORT_LOST = 4;       // the port went away (--no-reconnect)
inline constexpr int EXIT_NOT_ALL_UPDATED = 5; // several ports: not every device completed
inline constexpr int EXIT_USAGE = 64;          // the command line is wrong
inline constexpr int EXIT_INTERRUPTED = 130;   // Ctrl-C, SIGTERM or SIGHUP
