// What the usbredir link announces about a device: its interfaces and endpoints, read from
// the device's own descriptors with a bounded walk.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace emu {

struct EndpointInfo {
  uint8_t address = 0;     // bEndpointAddress
  uint8_t attributes = 0;  // bmAttributes; the low two bits are the transfer type
  uint16_t maxPacketSize = 0;
  uint8_t interval = 0;
};

struct InterfaceInfo {
  uint8_t number = 0;
  uint8_t alternate = 0;
  uint8_t interfaceClass = 0;
  uint8_t subClass = 0;
  uint8_t protocol = 0;
  std::vector<EndpointInfo> endpoints;
};

// The device descriptor fields the link announces.
struct DeviceSummary {
  uint8_t deviceClass = 0;
  uint8_t deviceSubClass = 0;
  uint8_t deviceProtocol = 0;
  uint8_t maxPacketSize0 = 0;
  uint16_t idVendor = 0;
  uint16_t idProduct = 0;
  uint16_t bcdDevice = 0;
};

// The device descriptor's fields; nothing when it is shorter than 18 bytes or not a
// device descriptor.
std::optional<DeviceSummary> SummarizeDevice(const std::vector<uint8_t> &descriptor);

// Every interface descriptor of the configuration, each alternate setting on its own, in
// descriptor order, with the endpoint descriptors that follow it. The walk stops at
// wTotalLength or the buffer's end, whichever comes first, and at a descriptor whose
// length is below 2 or runs past that end; what was read before stays. Notes on anything
// skipped go to notes when given.
std::vector<InterfaceInfo> WalkConfiguration(const std::vector<uint8_t> &configuration,
                                             std::vector<std::string> *notes = nullptr);

// The interfaces as the device presents them now: for each interface number, the setting
// chosen in alternates (setting 0 when absent or when the chosen setting does not exist),
// ordered by interface number.
std::vector<InterfaceInfo> CurrentInterfaces(const std::vector<InterfaceInfo> &all,
                                             const std::map<uint8_t, uint8_t> &alternates);

// usbredir's endpoint table index: OUT endpoints 0-15, IN endpoints 16-31.
constexpr unsigned EndpointIndex(uint8_t address) {
  return ((address & 0x80u) >> 3) | (address & 0x0Fu);
}

}  // namespace emu
