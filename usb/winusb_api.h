// The Windows calls the WinUSB backend (usb_os_windows.cc) makes, through a table that the tests
// replace with a fake of them, as they replace the USB operations themselves.
#pragma once
#include <windows.h>
#include <setupapi.h>
#include <winusb.h>

// The device-interface class the boards' driver binding (vorn-winusb.inf) registers.
extern const GUID kBoardInterfaceClass;

struct winusb_api {
    HDEVINFO(WINAPI* get_class_devs)(const GUID* cls, PCSTR enumerator, HWND parent, DWORD flags);
    BOOL(WINAPI* enum_device_interfaces)(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* cls,
                                         DWORD index, PSP_DEVICE_INTERFACE_DATA data);
    BOOL(WINAPI* get_device_interface_detail)(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                              PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                              PDWORD required, PSP_DEVINFO_DATA info);
    BOOL(WINAPI* get_device_registry_property)(HDEVINFO set, PSP_DEVINFO_DATA info, DWORD property,
                                               PDWORD type, PBYTE buf, DWORD size, PDWORD required);
    BOOL(WINAPI* get_device_instance_id)(HDEVINFO set, PSP_DEVINFO_DATA info, PSTR buf, DWORD size,
                                         PDWORD required);
    BOOL(WINAPI* destroy_device_info_list)(HDEVINFO set);
    HANDLE(WINAPI* create_file)(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                                DWORD disposition, DWORD flags, HANDLE tmpl);
    BOOL(WINAPI* close_handle)(HANDLE h);
    BOOL(WINAPI* initialize)(HANDLE file, PWINUSB_INTERFACE_HANDLE usb);
    BOOL(WINAPI* free)(WINUSB_INTERFACE_HANDLE usb);
    BOOL(WINAPI* get_descriptor)(WINUSB_INTERFACE_HANDLE usb, UCHAR type, UCHAR index, USHORT language,
                                 PUCHAR buf, ULONG size, PULONG transferred);
    BOOL(WINAPI* query_interface_settings)(WINUSB_INTERFACE_HANDLE usb, UCHAR alternate,
                                           PUSB_INTERFACE_DESCRIPTOR out);
    BOOL(WINAPI* query_pipe)(WINUSB_INTERFACE_HANDLE usb, UCHAR alternate, UCHAR index,
                             PWINUSB_PIPE_INFORMATION out);
    BOOL(WINAPI* set_pipe_policy)(WINUSB_INTERFACE_HANDLE usb, UCHAR pipe, ULONG policy, ULONG size,
                                  PVOID value);
    BOOL(WINAPI* read_pipe)(WINUSB_INTERFACE_HANDLE usb, UCHAR pipe, PUCHAR buf, ULONG len,
                            PULONG transferred, LPOVERLAPPED overlapped);
    BOOL(WINAPI* write_pipe)(WINUSB_INTERFACE_HANDLE usb, UCHAR pipe, PUCHAR buf, ULONG len,
                             PULONG transferred, LPOVERLAPPED overlapped);
    BOOL(WINAPI* reset_pipe)(WINUSB_INTERFACE_HANDLE usb, UCHAR pipe);
    DWORD(WINAPI* get_last_error)();
    void(WINAPI* set_last_error)(DWORD code);
};

// The table in use, and replacing it (nullptr restores the system's); returns the previous.
const winusb_api* winusb_current();
const winusb_api* winusb_install(const winusb_api* api);
const winusb_api* winusb_system_api();
// The errno value the tool reports for a Windows error code.
int errno_of_win32(DWORD code);
