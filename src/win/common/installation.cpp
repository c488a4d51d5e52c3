#include "installation.h"

#include <cctype>
#include <cstring>

#include "json.h"
#include "sha256.h"

namespace win
{

const char* const kFilterName = "nmeafilt";
const char* const kDriverFileName = "nmeafilt.sys";
const char* const kServiceDisplayName = "NMEA serial port filter";

namespace
{

const char kImagePath[] = "system32\\drivers\\nmeafilt.sys";

bool SameText(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

bool StartsWith(const std::string& text, const char* prefix)
{
    return SameText(text.substr(0, std::strlen(prefix)), prefix);
}

// ImagePath relative to the Windows folder, the way the kernel's loader reads it.
std::string UnderWindows(const std::string& imagePath)
{
    for (const char* root : {"\\SystemRoot\\", "%SystemRoot%\\"}) {
        if (StartsWith(imagePath, root)) {
            return imagePath.substr(std::strlen(root));
        }
    }
    return imagePath;
}

std::string Number(unsigned long n)
{
    return std::to_string(n);
}

const char* TypeName(unsigned long type)
{
    return type == kKernelDriver ? "kernel driver" : "not a kernel driver";
}

std::string StartName(unsigned long start)
{
    static const char* const names[] = {"boot start", "system start", "automatic start",
                                        "demand start", "disabled"};
    return start < 5 ? names[start] : "start type " + Number(start);
}

} // namespace

std::vector<std::string> SplitMultiSz(const char* data, unsigned long size)
{
    std::vector<std::string> out;
    unsigned long i = 0;
    while (i < size && data[i] != '\0') {
        unsigned long start = i;
        while (i < size && data[i] != '\0') {
            ++i;
        }
        out.emplace_back(data + start, i - start);
        ++i;
    }
    return out;
}

std::string JoinMultiSz(const std::vector<std::string>& items)
{
    std::string out;
    for (const std::string& item : items) {
        out += item;
        out += '\0';
    }
    if (items.empty()) {
        out += '\0';
    }
    return out + '\0';
}

bool ListsFilter(const std::vector<std::string>& filters)
{
    for (const std::string& f : filters) {
        if (SameText(f, kFilterName)) {
            return true;
        }
    }
    return false;
}

std::string FilterListText(const std::vector<std::string>& filters)
{
    std::string list;
    for (const std::string& f : filters) {
        list += (list.empty() ? "" : ", ") + f;
    }
    return list.empty() ? "none" : list;
}

ServiceConfig FilterServiceConfig()
{
    return {kKernelDriver, kDemandStart, kErrorNormal, kImagePath};
}

bool IsFilterServiceConfig(const ServiceConfig& c)
{
    return c.type == kKernelDriver && c.start == kDemandStart && c.errorControl == kErrorNormal &&
           SameText(UnderWindows(c.imagePath), kImagePath);
}

std::string ImageFile(const std::string& imagePath, const std::string& windowsDir)
{
    std::string path = UnderWindows(imagePath);
    if (path.empty()) {
        path = std::string("system32\\drivers\\") + kDriverFileName; // the loader's default
    }
    if (StartsWith(path, "\\??\\")) {
        return path.substr(4);
    }
    if (path[0] == '\\' || (path.size() > 1 && path[1] == ':')) {
        return path;
    }
    return windowsDir + "\\" + path;
}

std::string ServiceStateName(unsigned long state)
{
    static const char* const names[] = {"unknown",       "stopped", "start pending",
                                        "stop pending",  "running", "continue pending",
                                        "pause pending", "paused"};
    return state < sizeof names / sizeof names[0] ? names[state] : "unknown";
}

std::string ServiceText(const ServiceFacts& f)
{
    if (!f.exists) {
        return f.error.empty() ? "not installed" : "cannot be read: " + f.error;
    }
    const ServiceConfig& c = f.config;
    return std::string(TypeName(c.type)) + " (" + Number(c.type) + "), " + StartName(c.start) +
           " (" + Number(c.start) + "), error control " + Number(c.errorControl) + ", " +
           c.imagePath + ", " + ServiceStateName(f.state);
}

std::string ServiceJson(const ServiceFacts& f)
{
    if (!f.exists) {
        return "{\"installed\": false" +
               (f.error.empty() ? std::string() : ", \"error\": " + Json(f.error)) + "}";
    }
    const ServiceConfig& c = f.config;
    return "{\"installed\": true, \"type\": " + Number(c.type) + ", \"start\": " + Number(c.start) +
           ", \"error_control\": " + Number(c.errorControl) +
           ", \"image_path\": " + Json(c.imagePath) +
           ", \"state\": " + Json(ServiceStateName(f.state)) + "}";
}

DriverFile DescribeDriverBytes(const std::string& path, const unsigned char* data,
                               unsigned long size)
{
    DriverFile file;
    file.path = path;
    file.present = true;
    file.isImage = ReadImageFacts(data, size, &file.image);
    Sha256 hash;
    hash.Update(data, size);
    file.sha256 = hash.HexDigest();
    return file;
}

std::string DriverVersionText(const DriverFile& file)
{
    return file.isImage && file.image.hasVersion ? "version " + VersionText(file.image.version)
                                                 : "no version";
}

std::string DriverFileText(const DriverFile& f)
{
    if (!f.present) {
        return f.path + (f.error.empty() ? ": not present" : ": cannot be read: " + f.error);
    }
    return f.path + ": " + (f.isImage ? DriverVersionText(f) : "not a PE image") + ", SHA-256 " +
           f.sha256;
}

std::string DriverFileJson(const DriverFile& f)
{
    std::string out = "{\"path\": " + Json(f.path) + ", \"present\": ";
    if (!f.present) {
        return out + "false" + (f.error.empty() ? "" : ", \"error\": " + Json(f.error)) + "}";
    }
    out += "true, \"version\": ";
    out += f.isImage && f.image.hasVersion ? Json(VersionText(f.image.version)) : "null";
    return out + ", \"sha256\": " + Json(f.sha256) + "}";
}

} // namespace win
