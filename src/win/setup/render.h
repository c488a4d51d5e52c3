// nmeafilt-setup's reports: lines for a person, one JSON object for scripts that collect the
// results of a fleet.
#pragma once

#include <string>

#include "plan.h"

namespace setup
{

// `command` is "install" or "remove".
std::string RenderRunText(const char* command, const Facts& facts, const Plan& plan,
                          const Outcome& outcome);
std::string RenderRunJson(const char* command, const Facts& facts, const Plan& plan,
                          const Outcome& outcome);
std::string RenderStatusText(const Facts& facts);
std::string RenderStatusJson(const Facts& facts);

} // namespace setup
