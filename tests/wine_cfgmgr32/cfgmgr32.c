/* A test-only cfgmgr32.dll for Wine (8.0 and 10.0), whose own lacks or stubs
 * functions that hidapi's DLL looks up at start. Loaded from beside the exe
 * through WINEDLLOVERRIDES="cfgmgr32=n,b"; never shipped. */

#include <windows.h>

#include <setupapi.h>

#define EXPORT __declspec(dllexport) DWORD WINAPI
enum { cr_success = 0, cr_failure = 0x13 };

/* Room enough for the paths of every HID interface a test machine has. */
EXPORT CM_Get_Device_Interface_List_SizeW(ULONG *size, GUID *class, WCHAR *id,
                                          ULONG flags) {
  *size = 32768;
  return cr_success;
}

/* The paths of the present interfaces of `class` (as many as fit), each
 * ending in NUL, and one NUL more. */
EXPORT CM_Get_Device_Interface_ListW(GUID *class, WCHAR *id, WCHAR *out,
                                     ULONG room, ULONG flags) {
  HDEVINFO set = SetupDiGetClassDevsW(class, NULL, NULL,
                                      DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
  SP_DEVICE_INTERFACE_DATA item = {sizeof item};
  union {
    SP_DEVICE_INTERFACE_DETAIL_DATA_W detail;
    char room[4096];
  } path = {{sizeof path.detail}};
  ULONG used = 0;
  for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, NULL, class, i, &item) &&
                    SetupDiGetDeviceInterfaceDetailW(set, &item, &path.detail,
                                                     sizeof path, NULL, NULL) &&
                    used + wcslen(path.detail.DevicePath) + 1 < room;
       ++i) {
    wcscpy(out + used, path.detail.DevicePath);
    used += (ULONG)wcslen(out + used) + 1;
  }
  SetupDiDestroyDeviceInfoList(set);
  out[used] = 0;
  return cr_success;
}

/* hidapi asks these only for a device's bus and interface number, which the
 * probe does not print; it takes a failure as "unknown". A stdcall callee
 * needs only the size of its arguments right: all are 4 bytes here. */
#define FAILS(name, ...)                                                       \
  EXPORT name(__VA_ARGS__) { return cr_failure; }
#define THREE DWORD a, DWORD b, DWORD c
FAILS(CM_Get_Device_Interface_PropertyW, THREE, DWORD d, DWORD e, DWORD f)
FAILS(CM_Get_DevNode_PropertyW, THREE, DWORD d, DWORD e, DWORD f)
FAILS(CM_Locate_DevNodeW, THREE)
FAILS(CM_Get_Parent, THREE)
