// The service manager's side of installing and removing the filter.
#pragma once

#include <string>

#include "installation.h"

namespace setup
{

bool CreateFilterService(const win::ServiceConfig& config, std::string* detail);
bool ConfigureFilterService(const win::ServiceConfig& config, std::string* detail);
bool DeleteFilterService(std::string* detail);

} // namespace setup
