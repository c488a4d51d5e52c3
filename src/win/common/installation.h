// The filter's installation as both programs see it: the port's list of upper filters, the
// service, and the driver file. Facts and their descriptions only; the Windows calls that
// gather them live in the programs' Windows-only files.
#pragma once

#include <string>
#include <vector>

#include "pe_image.h"

namespace win
{

extern const char* const kFilterName;     // the service and the UpperFilters entry
extern const char* const kDriverFileName; // in system32\drivers
extern const char* const kServiceDisplayName;

// REG_MULTI_SZ to strings and back; an empty list is two NULs.
std::vector<std::string> SplitMultiSz(const char* data, unsigned long size);
std::string JoinMultiSz(const std::vector<std::string>& items);
bool ListsFilter(const std::vector<std::string>& filters);           // service names ignore case
std::string FilterListText(const std::vector<std::string>& filters); // "serenum, nmeafilt"

struct PortDevice {
    std::string portName;    // "COM3"
    std::string instance;    // "ACPI\PNP0501\1"
    bool hasFilters = false; // the device has an UpperFilters value at all
    std::vector<std::string> filters;
    std::string filtersError; // why UpperFilters could not be read, when it could not
};

// Values of the service manager, fixed by Windows.
const unsigned long kKernelDriver = 1, kDemandStart = 3, kErrorNormal = 1;
const unsigned long kStopped = 1, kRunning = 4;

struct ServiceConfig {
    unsigned long type = 0, start = 0, errorControl = 0;
    std::string imagePath;
};

struct ServiceFacts {
    bool exists = false;
    std::string error;           // why it could not be read, when it exists but could not be
    unsigned long errorCode = 0; // the Windows error behind `error`
    ServiceConfig config;
    unsigned long state = 0;
};

// What the installer writes, and whether a found configuration is that.
ServiceConfig FilterServiceConfig();
bool IsFilterServiceConfig(const ServiceConfig& config);
// Which file the service loads, from its ImagePath and the Windows folder.
std::string ImageFile(const std::string& imagePath, const std::string& windowsDir);
std::string ServiceStateName(unsigned long state);
std::string ServiceText(const ServiceFacts& facts);
std::string ServiceJson(const ServiceFacts& facts);

struct DriverFile {
    std::string path;
    bool present = false; // the file could be read
    std::string error;    // why not, when it exists but could not be read
    bool isImage = false;
    ImageFacts image;
    std::string sha256;
};

DriverFile DescribeDriverBytes(const std::string& path, const unsigned char* data,
                               unsigned long size);
std::string DriverVersionText(const DriverFile& file); // "version 1.0.0.0" or "no version"
std::string DriverFileText(const DriverFile& file);
std::string DriverFileJson(const DriverFile& file);

} // namespace win
