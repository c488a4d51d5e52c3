// The few JSON pieces the programs' reports are made of.
#pragma once

#include <string>

namespace win
{

std::string Json(const std::string& text); // a quoted, escaped JSON string

} // namespace win
