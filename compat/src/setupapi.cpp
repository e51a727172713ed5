// SetupAPI device-interface enumeration over the simulated driver's devices.
#include <setupapi.h>

#include <vsim/driver.h>

#include "kernel.h"

namespace w32 {
namespace {

// A device information set: the interfaces present when it was made, in
// member-index order.
class DevInfoSet : public Object {
public:
    explicit DevInfoSet(std::vector<vsim::Interface> interfaces)
        : Object(ObjectType::DevInfo), interfaces(std::move(interfaces)) {}
    const std::vector<vsim::Interface> interfaces;
};

vsim::Guid toSim(const GUID& g) {
    vsim::Guid s{g.Data1, g.Data2, g.Data3, {}};
    std::memcpy(s.data4, g.Data4, sizeof s.data4);
    return s;
}

}  // namespace
}  // namespace w32

using namespace w32;

extern "C" {

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND, DWORD flags) {
    W32_FAULT_POINT("SetupDiGetClassDevsA", INVALID_HANDLE_VALUE);
    // Only the interface-class query that the libraries make is supported.
    if (!(flags & DIGCF_DEVICEINTERFACE) || classGuid == nullptr || enumerator != nullptr ||
        (flags & DIGCF_ALLCLASSES)) {
        setLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto* set = new DevInfoSet(vsim::currentMachine()->interfaces(toSim(*classGuid)));
    HANDLE handle = HandleTable::instance().insert(set);
    if (handle == nullptr) {
        set->release();
        setLastError(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO setHandle, PSP_DEVINFO_DATA deviceInfo,
                                        const GUID* interfaceGuid, DWORD memberIndex,
                                        PSP_DEVICE_INTERFACE_DATA data) {
    W32_FAULT_POINT("SetupDiEnumDeviceInterfaces", FALSE);
    Lookup<DevInfoSet> set(setHandle, ObjectType::DevInfo);
    if (!set) {
        setLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (deviceInfo != nullptr || interfaceGuid == nullptr) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        setLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    const vsim::Guid wanted = toSim(*interfaceGuid);
    DWORD seen = 0;
    for (size_t i = 0; i < set->interfaces.size(); ++i) {
        if (!(set->interfaces[i].guid == wanted)) continue;
        if (seen++ != memberIndex) continue;
        data->InterfaceClassGuid = *interfaceGuid;
        data->Flags = SPINT_ACTIVE;
        data->Reserved = i + 1;  // which member of the set, for the detail query
        return TRUE;
    }
    setLastError(ERROR_NO_MORE_ITEMS);
    return FALSE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO setHandle, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                             DWORD detailSize, PDWORD requiredSize,
                                             PSP_DEVINFO_DATA deviceInfo) {
    W32_FAULT_POINT("SetupDiGetDeviceInterfaceDetailA", FALSE);
    Lookup<DevInfoSet> set(setHandle, ObjectType::DevInfo);
    if (!set) {
        setLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (data == nullptr || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
        data->Reserved > set->interfaces.size()) {
        setLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string& path = set->interfaces[data->Reserved - 1].path;
    const DWORD needed =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (requiredSize != nullptr) *requiredSize = needed;
    if (detail == nullptr) {
        setLastError(detailSize != 0 ? ERROR_INVALID_USER_BUFFER : ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        setLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (detailSize < needed) {
        setLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    if (deviceInfo != nullptr) {
        if (deviceInfo->cbSize != sizeof(SP_DEVINFO_DATA)) {
            setLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        deviceInfo->ClassGuid = GUID{};
        deviceInfo->DevInst = static_cast<DWORD>(data->Reserved);
        deviceInfo->Reserved = 0;
    }
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO setHandle) {
    W32_FAULT_POINT("SetupDiDestroyDeviceInfoList", FALSE);
    {
        Lookup<DevInfoSet> set(setHandle, ObjectType::DevInfo);
        if (!set) {
            setLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    Object* object = HandleTable::instance().remove(setHandle);
    if (object == nullptr) {
        setLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    HandleTable::instance().retire(object);
    return TRUE;
}

}  // extern "C"
