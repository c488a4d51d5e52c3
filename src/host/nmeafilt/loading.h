// What the subcommands load: a capture, and the driver image in place of the driver.
#pragma once

#include <string>

namespace standin
{
class DriverImage;
}

namespace nmeafilt
{

// Reads a whole file ("-" is standard input); false with errno's message in `error`.
bool ReadInput(const std::string& path, std::string* contents, std::string* error);

// --image FILE: maps the driver image at `path` into `image`, to run in place of the driver
// linked in. Returns -1 when it is mapped; otherwise tells why on standard error under the
// name `command` and returns the exit code: usage where this build cannot run an image,
// failure where the file is refused.
int MapDriverImage(const char* command, const std::string& path, standin::DriverImage* image);

} // namespace nmeafilt
