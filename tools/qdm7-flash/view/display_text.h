// The texts of the one-line display (display.h) beside its progress line
// (progress.h), made apart from the terminal that shows them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The line redrawn while contact queries go unanswered: "waiting 12 s, 60
// contact queries unanswered", and ", 17 bytes but no reply: power-cycle
// it" once bytes came that formed no reply.
std::string power_wait_text(std::uint32_t waited_s, std::uint32_t unanswered, std::uint32_t stray_bytes);

// The line redrawn while the reply to the CRC query is overdue.
std::string overdue_crc_text(std::int32_t resend_in_s);

// A message broken at blanks for a terminal columns wide (as if 20 when
// narrower), no line reaching its last column; a word longer than a line is
// cut.
std::vector<std::string> message_lines(const std::string& text, int columns);
