// A whole file as bytes, for the tests that replay captures.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

inline std::string Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}
