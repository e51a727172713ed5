// SetupAPI device-interface enumeration over the simulated driver's devices.
#include <setupapi.h>

#include <vsim/win32_emulation.h>

#include "kernel.h"

namespace w32 {
namespace {

// A device information set: the interfaces present when it was made, in
// member-index order.
class DevInfoSet : public Object {
  public:
    explicit DevInfoSet(vsim::win32::InterfaceSet set)
        : Object(ObjectType::DevInfo), set(std::move(set)) {}
    const vsim::win32::InterfaceSet set;
};

BOOL result(DWORD error) {
    if (error == ERROR_SUCCESS)
        return TRUE;
    setLastError(error);
    return FALSE;
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
    auto* set = new DevInfoSet(vsim::win32::makeInterfaceSet(*classGuid));
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
    return result(
        vsim::win32::enumInterface(set->set, deviceInfo, interfaceGuid, memberIndex, data));
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
    return result(
        vsim::win32::interfaceDetail(set->set, data, detail, detailSize, requiredSize, deviceInfo));
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
    setLastError(ERROR_SUCCESS);  // as SetupAPI does on success
    return TRUE;
}

}  // extern "C"
