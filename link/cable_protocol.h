// What the cable driver offers: control codes, LinkStatus bits, feature bits
// and buffer sizes. Platform-free (no <windows.h>), shared by the host code,
// the simulated driver and the console emulator.
#pragma once

#include <cstdint>

namespace tavrin {

// CTL_CODE(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS)
// = 0x220000 + 4 * function.
constexpr uint32_t IOCTL_TAVRIN_GET_INFO = 0x220000;       // function 0
constexpr uint32_t IOCTL_TAVRIN_RESET_LINK = 0x220004;     // function 1
constexpr uint32_t IOCTL_TAVRIN_GET_STATUS = 0x220008;     // function 2
constexpr uint32_t IOCTL_TAVRIN_SET_FEATURE = 0x22000C;    // function 3
constexpr uint32_t IOCTL_TAVRIN_CLEAR_FEATURE = 0x220010;  // function 4

// LinkStatus bits (one byte from get status).
constexpr uint8_t kStatusPeerExists = 1;
constexpr uint8_t kStatusTransferRequest = 2;
constexpr uint8_t kStatusTransferComplete = 4;
constexpr uint8_t kStatusTransmitReady = 32;

// Feature bits for set feature and clear feature: the handshake bits.
constexpr uint8_t kFeatureTransferRequest = kStatusTransferRequest;
constexpr uint8_t kFeatureTransferComplete = kStatusTransferComplete;

// The interface class GUID {5a8e3c12-7d40-11d5-b2c4-0050da61e9f7} as its fields.
struct InterfaceClassId {
  uint32_t data1;
  uint16_t data2;
  uint16_t data3;
  uint8_t data4[8];
};
constexpr InterfaceClassId kInterfaceClassId = {
    0x5a8e3c12, 0x7d40, 0x11d5, {0xb2, 0xc4, 0x00, 0x50, 0xda, 0x61, 0xe9, 0xf7}};

}  // namespace tavrin
