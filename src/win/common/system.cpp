#include "system.h"

// The class GUIDs are defined here rather than taken from a library.
#include <initguid.h>
#include <devguid.h>
#include <cfgmgr32.h>

#include <cstdio>

namespace win
{

namespace
{

// A driver image larger than this is not one of ours.
const DWORD kLargestDriver = 64UL << 20;

std::string PortNameOf(HDEVINFO set, SP_DEVINFO_DATA* device)
{
    HKEY key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) {
        return "";
    }
    char name[64] = {};
    DWORD size = sizeof name - 1, type = 0;
    LONG status =
        RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_SZ ? std::string(name) : std::string();
}

bool IsComName(const std::string& name)
{
    return name.size() > 3 && lstrcmpiA(name.substr(0, 3).c_str(), "COM") == 0;
}

} // namespace

std::string ErrorText(DWORD error)
{
    char text[256] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             error, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' ||
                     text[n - 1] == '.')) {
        text[--n] = '\0';
    }
    char out[320];
    std::snprintf(out, sizeof out, n ? "error %lu, %s" : "error %lu",
                  static_cast<unsigned long>(error), text);
    return out;
}

PortSet::PortSet(bool presentOnly)
    : set_(SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr,
                                presentOnly ? DIGCF_PRESENT : 0))
{
    if (set_ == INVALID_HANDLE_VALUE) {
        error_ = GetLastError();
        return;
    }
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set_, i, &device); ++i) {
        PortDevice port;
        port.portName = PortNameOf(set_, &device);
        char id[MAX_DEVICE_ID_LEN] = {};
        if (!IsComName(port.portName) ||
            !SetupDiGetDeviceInstanceIdA(set_, &device, id, sizeof id, nullptr)) {
            continue;
        }
        port.instance = id;
        ReadUpperFilters(set_, &device, &port);
        ports_.push_back(port);
        devices_.push_back(device);
    }
}

PortSet::~PortSet()
{
    if (set_ != INVALID_HANDLE_VALUE) {
        SetupDiDestroyDeviceInfoList(set_);
    }
}

bool PortSet::Find(const std::string& instance, SP_DEVINFO_DATA* device) const
{
    for (size_t i = 0; i < ports_.size(); ++i) {
        if (lstrcmpiA(ports_[i].instance.c_str(), instance.c_str()) == 0) {
            *device = devices_[i];
            return true;
        }
    }
    return false;
}

bool ReadUpperFilters(HDEVINFO set, SP_DEVINFO_DATA* device, PortDevice* port)
{
    std::vector<char> data(1024);
    DWORD type = 0, size = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        // Two spare NULs past what Windows returns end a list stored without its terminator.
        if (SetupDiGetDeviceRegistryPropertyA(set, device, SPDRP_UPPERFILTERS, &type,
                                              reinterpret_cast<BYTE*>(data.data()),
                                              static_cast<DWORD>(data.size() - 2), &size)) {
            port->hasFilters = true;
            port->filters = SplitMultiSz(data.data(), size);
            return true;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_INSUFFICIENT_BUFFER || size > 65536) {
            // SetupAPI's answer for a property the device does not have.
            if (error != ERROR_INVALID_DATA) {
                port->filtersError = ErrorText(error);
            }
            break;
        }
        data.assign(size + 2, '\0');
    }
    port->hasFilters = false;
    port->filters.clear();
    return false;
}

ServiceFacts ReadService()
{
    ServiceFacts facts;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager ? OpenServiceA(manager, kFilterName, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS)
                : nullptr;
    // The strings follow the record in the same buffer.
    union {
        QUERY_SERVICE_CONFIGA config;
        char bytes[8192];
    } buffer;
    DWORD needed = 0;
    SERVICE_STATUS status;
    if (service && QueryServiceConfigA(service, &buffer.config, sizeof buffer, &needed) &&
        QueryServiceStatus(service, &status)) {
        facts.exists = true;
        facts.config = {buffer.config.dwServiceType, buffer.config.dwStartType,
                        buffer.config.dwErrorControl,
                        buffer.config.lpBinaryPathName ? buffer.config.lpBinaryPathName : ""};
        facts.state = status.dwCurrentState;
    } else if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) {
        facts.errorCode = GetLastError();
        facts.error = ErrorText(facts.errorCode);
    }
    if (service) {
        CloseServiceHandle(service);
    }
    if (manager) {
        CloseServiceHandle(manager);
    }
    return facts;
}

DriverFile ReadDriverFile(const std::string& path)
{
    DriverFile file;
    file.path = path;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
            file.error = ErrorText(error);
        }
        return file;
    }
    DWORD high = 0, size = GetFileSize(h, &high);
    std::vector<unsigned char> data;
    DWORD got = 0;
    if (size == INVALID_FILE_SIZE || high != 0 || size > kLargestDriver) {
        file.error = "larger than a driver can be";
    } else {
        data.resize(size);
        if (size > 0 && (!ReadFile(h, data.data(), size, &got, nullptr) || got != size)) {
            file.error = ErrorText(GetLastError());
        }
    }
    CloseHandle(h);
    if (!file.error.empty()) {
        return file;
    }
    return DescribeDriverBytes(path, data.data(), size);
}

std::string WindowsDirectory()
{
    char dir[MAX_PATH] = {};
    UINT n = GetWindowsDirectoryA(dir, sizeof dir);
    return n > 0 && n < sizeof dir ? dir : "C:\\WINDOWS";
}

std::string DriverTarget()
{
    char dir[MAX_PATH] = {};
    UINT n = GetSystemDirectoryA(dir, sizeof dir);
    std::string system = n > 0 && n < sizeof dir ? dir : WindowsDirectory() + "\\system32";
    return system + "\\drivers\\" + kDriverFileName;
}

std::string InstalledDriverPath(const ServiceFacts& service)
{
    return service.exists ? ImageFile(service.config.imagePath, WindowsDirectory())
                          : DriverTarget();
}

} // namespace win
