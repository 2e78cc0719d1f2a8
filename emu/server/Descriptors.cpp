// Bounded walk over a configuration descriptor set.
#include "emu/server/Descriptors.h"

#include <algorithm>

#include "camera/UsbDevice.h"

namespace emu {

namespace {

uint16_t ReadU16(const std::vector<uint8_t> &bytes, size_t offset) {
  return static_cast<uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

}  // namespace

std::optional<DeviceSummary> SummarizeDevice(const std::vector<uint8_t> &descriptor) {
  if (descriptor.size() < usb::kDeviceDescriptorLength ||
      descriptor[1] != usb::kDeviceDescriptorType) {
    return std::nullopt;
  }
  DeviceSummary summary;
  summary.deviceClass = descriptor[4];
  summary.deviceSubClass = descriptor[5];
  summary.deviceProtocol = descriptor[6];
  summary.maxPacketSize0 = descriptor[7];
  summary.idVendor = ReadU16(descriptor, 8);
  summary.idProduct = ReadU16(descriptor, 10);
  summary.bcdDevice = ReadU16(descriptor, 12);
  return summary;
}

std::vector<InterfaceInfo> WalkConfiguration(const std::vector<uint8_t> &configuration,
                                             std::vector<std::string> *notes) {
  auto note = [notes](const std::string &text) {
    if (notes != nullptr) {
      notes->push_back(text);
    }
  };
  std::vector<InterfaceInfo> interfaces;
  if (configuration.size() < usb::kConfigurationDescriptorLength ||
      configuration[1] != usb::kConfigurationDescriptorType) {
    note("no configuration descriptor");
    return interfaces;
  }
  const size_t total = std::min<size_t>(configuration.size(), ReadU16(configuration, 2));
  size_t offset = std::max<size_t>(configuration[0], 2);
  while (offset < total) {
    if (total - offset < 2) {
      note("a descriptor header is cut short at offset " + std::to_string(offset));
      break;
    }
    const size_t length = configuration[offset];
    if (length < 2 || length > total - offset) {
      note("a descriptor of length " + std::to_string(length) + " at offset " +
           std::to_string(offset) + " does not fit");
      break;
    }
    const uint8_t type = configuration[offset + 1];
    if (type == usb::kInterfaceDescriptorType) {
      if (length < usb::kInterfaceDescriptorLength) {
        note("a short interface descriptor at offset " + std::to_string(offset));
      } else {
        InterfaceInfo interface;
        interface.number = configuration[offset + 2];
        interface.alternate = configuration[offset + 3];
        interface.interfaceClass = configuration[offset + 5];
        interface.subClass = configuration[offset + 6];
        interface.protocol = configuration[offset + 7];
        interfaces.push_back(interface);
      }
    } else if (type == usb::kEndpointDescriptorType) {
      if (length < usb::kEndpointDescriptorLength) {
        note("a short endpoint descriptor at offset " + std::to_string(offset));
      } else if (interfaces.empty()) {
        note("an endpoint descriptor before any interface at offset " + std::to_string(offset));
      } else {
        EndpointInfo endpoint;
        endpoint.address = configuration[offset + 2];
        endpoint.attributes = configuration[offset + 3];
        endpoint.maxPacketSize = ReadU16(configuration, offset + 4);
        endpoint.interval = configuration[offset + 6];
        interfaces.back().endpoints.push_back(endpoint);
      }
    }
    offset += length;
  }
  return interfaces;
}

std::vector<InterfaceInfo> CurrentInterfaces(const std::vector<InterfaceInfo> &all,
                                             const std::map<uint8_t, uint8_t> &alternates) {
  std::map<uint8_t, const InterfaceInfo *> chosen;
  for (const InterfaceInfo &interface : all) {
    const auto wanted = alternates.find(interface.number);
    const uint8_t alternate = wanted == alternates.end() ? 0 : wanted->second;
    if (interface.alternate == alternate) {
      chosen.emplace(interface.number, &interface);  // the first one of a duplicated pair
    }
  }
  // A chosen setting that the configuration lacks falls back to setting 0.
  for (const InterfaceInfo &interface : all) {
    if (interface.alternate == 0 && chosen.find(interface.number) == chosen.end()) {
      chosen.emplace(interface.number, &interface);
    }
  }
  std::vector<InterfaceInfo> current;
  for (const auto &[number, interface] : chosen) {
    current.push_back(*interface);
  }
  return current;
}

}  // namespace emu
