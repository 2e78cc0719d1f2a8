// The requests of the emulator's test device, shared by the camera server that answers
// them and the harness that sends them. Plain constants only, so the freestanding
// harness can include it.
#pragma once

#include <stdint.h>

namespace kvr_test_device {

// Identity the test device announces unless the server is told otherwise.
constexpr uint16_t kVendorId = 0x3B5A;
constexpr uint16_t kProductId = 0x7E57;
constexpr uint16_t kBcdDevice = 0x0100;

// Vendor requests to the device (bmRequestType 0x40 OUT, 0xC0 IN).
constexpr uint8_t kRequestTypeOut = 0x40;
constexpr uint8_t kRequestTypeIn = 0xC0;
// OUT: keep the data stage (at most kStoreLimit bytes). IN: return what was kept.
constexpr uint8_t kRequestStore = 0x01;
constexpr uint16_t kStoreLimit = 4096;
// OUT, no data: acknowledge, drop off the bus, and come back wValue milliseconds later
// (1 to kReturnLimitMs) as a new device with bcdDevice one higher.
constexpr uint8_t kRequestReturnAsNext = 0x02;
constexpr uint16_t kReturnLimitMs = 10000;
// Any direction: the device stalls.
constexpr uint8_t kRequestStall = 0x03;
// Any direction: the device never answers; the host's own timeout ends the transfer.
constexpr uint8_t kRequestNoAnswer = 0x04;

}  // namespace kvr_test_device
