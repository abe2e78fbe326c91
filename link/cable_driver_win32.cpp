// The cable driver port bound to the real Win32 calls: what Tavdesk.exe uses.
#include "link/cable_driver.h"

const CableDriverPort& CableDriver() {
  static const CableDriverPort port = {
      ::SetupDiGetClassDevsA, ::SetupDiEnumDeviceInterfaces,
      ::SetupDiGetDeviceInterfaceDetailA, ::SetupDiDestroyDeviceInfoList,
      ::CreateFileA, ::DeviceIoControl, ::ReadFile, ::WriteFile, ::CloseHandle,
      ::CancelSynchronousIo,
  };
  return port;
}
