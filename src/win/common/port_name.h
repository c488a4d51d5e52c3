// COM port names as both programs take them on the command line.
#pragma once

#include <string>

namespace win
{

// "com3" -> "COM3"; false unless COM1 to COM256.
bool ParsePortName(const char* text, std::string* port);

} // namespace win
