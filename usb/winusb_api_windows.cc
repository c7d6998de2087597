#include "usb/winusb_api.h"

#include <cerrno>

const GUID kBoardInterfaceClass = {0x5E0C7A13, 0x9B42, 0x4D8E, {0xA6, 0xF1, 0x37, 0xC2, 0xD9, 0xB0, 0xE4, 0x58}};

namespace {

const winusb_api kSystemApi = {
    SetupDiGetClassDevsA,
    SetupDiEnumDeviceInterfaces,
    SetupDiGetDeviceInterfaceDetailA,
    SetupDiGetDeviceRegistryPropertyA,
    SetupDiGetDeviceInstanceIdA,
    SetupDiDestroyDeviceInfoList,
    CreateFileA,
    CloseHandle,
    WinUsb_Initialize,
    WinUsb_Free,
    WinUsb_GetDescriptor,
    WinUsb_QueryInterfaceSettings,
    WinUsb_QueryPipe,
    WinUsb_SetPipePolicy,
    WinUsb_ReadPipe,
    WinUsb_WritePipe,
    WinUsb_ResetPipe,
    GetLastError,
    SetLastError,
};

const winusb_api* g_api = nullptr;

}  // namespace

const winusb_api* winusb_system_api() {
    return &kSystemApi;
}

const winusb_api* winusb_current() {
    return g_api ? g_api : &kSystemApi;
}

const winusb_api* winusb_install(const winusb_api* api) {
    const winusb_api* old = winusb_current();
    g_api = api;
    return old;
}

int errno_of_win32(DWORD code) {
    switch (code) {
        case ERROR_SUCCESS: return 0;
        // The handle of a board that has been unplugged; WinUSB also answers a removed device
        // with "bad command" or "not connected".
        case ERROR_INVALID_HANDLE:
        case ERROR_BAD_COMMAND:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_DEV_NOT_EXIST: return ENODEV;
        case ERROR_SEM_TIMEOUT: return ETIMEDOUT;
        // Every user may open a board; one that is refused is held by another program.
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY: return EBUSY;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_NO_MORE_ITEMS: return ENOENT;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return ENOMEM;
        case ERROR_INVALID_PARAMETER: return EINVAL;
        case ERROR_OPERATION_ABORTED: return EINTR;
        case ERROR_INSUFFICIENT_BUFFER: return EOVERFLOW;
        // What a bulk transfer on a stalled pipe ends with: the pipe stays halted until reset.
        case ERROR_GEN_FAILURE: return EPIPE;
        default: return EIO;
    }
}
