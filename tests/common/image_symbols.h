// Where the image's own symbols are: the link map written beside the image names each one with
// its address, and the image base it was linked at. The image itself is stripped.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

class ImageSymbols
{
  public:
    explicit ImageSymbols(const std::string& mapPath)
    {
        std::ifstream in(mapPath);
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string address;
            std::string name;
            if (!(fields >> address >> name) || address.rfind("0x", 0) != 0) {
                continue;
            }
            const unsigned long value = std::strtoul(address.c_str(), nullptr, 16);
            // "NavState", "FilterUnload(_DRIVER_OBJECT*)@4", "__image_base__ = 0x10000"
            name = name.substr(0, name.find('('));
            addresses_.emplace(name, value);
        }
    }

    bool Empty() const { return addresses_.empty(); }

    // The symbol's offset in the image, or 0 when the map does not name it.
    unsigned long Rva(const std::string& name) const
    {
        auto symbol = addresses_.find(name);
        auto base = addresses_.find("__image_base__");
        if (symbol == addresses_.end() || base == addresses_.end()) {
            return 0;
        }
        return symbol->second - base->second;
    }

  private:
    std::multimap<std::string, unsigned long> addresses_;
};
