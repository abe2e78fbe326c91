// The cable driver port: the nine Win32 calls that LinkDevice makes, and the
// cancel with which the UI thread frees a worker stuck in one of them, as one
// table of function pointers with exactly the Win32 signatures. Which table
// CableDriver() returns is chosen at link time: cable_driver_win32.cpp binds
// the real calls (Tavdesk.exe), sim/ binds the simulated cable driver (tests
// and TavdeskSim.exe). LinkDevice is the only user.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include "link/cable_protocol.h"

// The device interface class of the cable driver.
constexpr GUID GUID_DEVINTERFACE_TAVRIN = {
    tavrin::kInterfaceClassId.data1,
    tavrin::kInterfaceClassId.data2,
    tavrin::kInterfaceClassId.data3,
    {tavrin::kInterfaceClassId.data4[0], tavrin::kInterfaceClassId.data4[1],
     tavrin::kInterfaceClassId.data4[2], tavrin::kInterfaceClassId.data4[3],
     tavrin::kInterfaceClassId.data4[4], tavrin::kInterfaceClassId.data4[5],
     tavrin::kInterfaceClassId.data4[6], tavrin::kInterfaceClassId.data4[7]}};

struct CableDriverPort {
  decltype(&::SetupDiGetClassDevsA) SetupDiGetClassDevsA;
  decltype(&::SetupDiEnumDeviceInterfaces) SetupDiEnumDeviceInterfaces;
  decltype(&::SetupDiGetDeviceInterfaceDetailA) SetupDiGetDeviceInterfaceDetailA;
  decltype(&::SetupDiDestroyDeviceInfoList) SetupDiDestroyDeviceInfoList;
  decltype(&::CreateFileA) CreateFileA;
  decltype(&::DeviceIoControl) DeviceIoControl;
  decltype(&::ReadFile) ReadFile;
  decltype(&::WriteFile) WriteFile;
  decltype(&::CloseHandle) CloseHandle;
  // Ends the given thread's pending read or write with ERROR_OPERATION_ABORTED.
  decltype(&::CancelSynchronousIo) CancelSynchronousIo;
};

// Defined once per program, by the binding it is linked with.
const CableDriverPort& CableDriver();
