// What every platform's serial port shares, for those implementations only.
#pragma once

#include <string>
#include <vector>

#include "platform/serial_port.h"

// Starts failure afresh; false, with the caller's mistake said, when no path
// is given.
bool port_path_given(const char* path, PortFailure& failure);

// The patterns of a list separated by any of separators, empty ones left out.
std::vector<std::string> split_patterns(const std::string& text, const char* separators);

// Whether name matches the glob pattern, letters in either case: '*' any run
// of characters, '?' any one, "[...]" one of a set or range ("[!...]" or
// "[^...]": one outside it); every other character, a backslash too (as in
// Windows paths), stands for itself, and so does a '[' without its ']'.
bool port_name_matches(const std::string& pattern, const std::string& name);
