// Small helpers for the subcommands' option parsing.
#pragma once

#include <string>

namespace nmeafilt
{

// Parses a whole decimal number in [min, max]; false for anything else.
bool ParseNumber(const char* text, unsigned long min, unsigned long max, unsigned long* value);

// Reads a whole file ("-" is standard input); false with errno's message in `error`.
bool ReadInput(const std::string& path, std::string* contents, std::string* error);

} // namespace nmeafilt
