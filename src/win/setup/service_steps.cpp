// The service steps: create, correct and delete the service nmeafilt, and their undo.
#include "service_steps.h"

#include "system.h"

namespace setup
{

namespace
{

// Opens the service with `access` and hands it to `use`; false with the error otherwise.
template <typename Use> bool WithService(DWORD access, std::string* detail, Use use)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, win::kFilterName, access) : nullptr;
    bool ok = service != nullptr && use(service);
    if (!ok) {
        *detail = win::ErrorText(GetLastError());
    }
    if (service) {
        CloseServiceHandle(service);
    }
    if (manager) {
        CloseServiceHandle(manager);
    }
    return ok;
}

} // namespace

bool CreateFilterService(const win::ServiceConfig& c, std::string* detail)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    SC_HANDLE service =
        manager ? CreateServiceA(manager, win::kFilterName, win::kServiceDisplayName,
                                 SERVICE_QUERY_STATUS, c.type, c.start, c.errorControl,
                                 c.imagePath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr)
                : nullptr;
    if (!service) {
        *detail = win::ErrorText(GetLastError());
    } else {
        CloseServiceHandle(service);
    }
    if (manager) {
        CloseServiceHandle(manager);
    }
    return service != nullptr;
}

bool ConfigureFilterService(const win::ServiceConfig& c, std::string* detail)
{
    return WithService(SERVICE_CHANGE_CONFIG, detail, [&](SC_HANDLE service) {
        return ChangeServiceConfigA(service, c.type, c.start, c.errorControl, c.imagePath.c_str(),
                                    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr) != 0;
    });
}

bool DeleteFilterService(std::string* detail)
{
    return WithService(DELETE, detail,
                       [](SC_HANDLE service) { return DeleteService(service) != 0; });
}

} // namespace setup
