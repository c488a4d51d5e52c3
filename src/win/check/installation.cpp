// The filter's place in the port's stack and its service, as Setup and the service manager
// record them.
#include <windows.h>
// The class GUIDs are defined here rather than taken from a library.
#include <initguid.h>
#include <devguid.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include <cstdio>
#include <vector>

#include "probes.h"

namespace check
{

namespace
{

const char kServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\nmeafilt\\Parameters";

std::vector<std::string> SplitMultiSz(const char* data, DWORD size)
{
    std::vector<std::string> out;
    DWORD i = 0;
    while (i < size && data[i] != '\0') {
        std::string item;
        while (i < size && data[i] != '\0') {
            item += data[i++];
        }
        out.push_back(item);
        ++i;
    }
    return out;
}

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

// A service-manager call that failed: skipped when this user may not ask, else failed.
CheckResult ServiceError(DWORD error)
{
    if (error == ERROR_ACCESS_DENIED) {
        return {"service", Outcome::Skipped, "querying the service needs rights this user lacks"};
    }
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
        return {"service", Outcome::Fail, "the service nmeafilt is not installed"};
    }
    return {"service", Outcome::Fail, "cannot query the service nmeafilt: " + ErrorText(error)};
}

CheckResult QueryService(SC_HANDLE service)
{
    // The strings follow the record in the same buffer.
    union {
        QUERY_SERVICE_CONFIGA config;
        char bytes[8192];
    } buffer;
    DWORD needed = 0;
    SERVICE_STATUS status;
    if (!QueryServiceConfigA(service, &buffer.config, sizeof buffer, &needed) ||
        !QueryServiceStatus(service, &status)) {
        return ServiceError(GetLastError());
    }
    return ServiceVerdict(
        {buffer.config.dwServiceType, buffer.config.dwStartType, status.dwCurrentState});
}

} // namespace

CheckResult ProbeUpperFilter(const std::string& port)
{
    HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        return {"upper-filter", Outcome::Fail,
                "cannot list the Ports devices: " + ErrorText(GetLastError())};
    }
    SP_DEVINFO_DATA device;
    device.cbSize = sizeof device;
    CheckResult result{"upper-filter", Outcome::Fail,
                       "no present Ports device has PortName " + port};
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        if (lstrcmpiA(PortNameOf(set, &device).c_str(), port.c_str()) != 0) {
            continue;
        }
        char id[MAX_DEVICE_ID_LEN] = {};
        SetupDiGetDeviceInstanceIdA(set, &device, id, sizeof id, nullptr);
        char filters[1024] = {};
        DWORD type = 0, size = 0;
        if (!SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_UPPERFILTERS, &type,
                                               reinterpret_cast<BYTE*>(filters), sizeof filters - 2,
                                               &size)) {
            size = 0; // no UpperFilters value at all
        }
        result = FilterListVerdict(id, SplitMultiSz(filters, size));
        break;
    }
    SetupDiDestroyDeviceInfoList(set);
    return result;
}

CheckResult ProbeService()
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return ServiceError(GetLastError());
    }
    SC_HANDLE service =
        OpenServiceA(manager, "nmeafilt", SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
    CheckResult result = service != nullptr ? QueryService(service) : ServiceError(GetLastError());
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return result;
}

bool ReadMachineName(std::string* name)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServiceKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    char value[256] = {};
    DWORD size = sizeof value - 1, type = 0;
    LONG status =
        RegQueryValueExA(key, "MachineName", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || type != REG_SZ) {
        return false;
    }
    *name = value;
    return true;
}

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

} // namespace check
