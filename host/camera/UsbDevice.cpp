// Standard requests of a USB 2.0 device and the descriptor builders.
#include "camera/UsbDevice.h"

#include <algorithm>
#include <stdexcept>

namespace usb {

Reply Ack(std::vector<uint8_t> data) { return Reply{Outcome::Ack, std::move(data)}; }

Reply Stall() { return Reply{Outcome::Stall, {}}; }

Device::~Device() = default;
void Device::Advance(uint64_t) {}
bool Device::Connected() const { return true; }
uint32_t Device::Generation() const { return 0; }
void Device::PortReset() {}

namespace {

uint8_t Low(uint16_t v) { return static_cast<uint8_t>(v & 0xFF); }
uint8_t High(uint16_t v) { return static_cast<uint8_t>(v >> 8); }

// Calls visit(offset, length) for each descriptor after the configuration descriptor, up to
// wTotalLength and the buffer's end; stops at a descriptor that is cut short or has a
// length below 2.
template <typename Visit>
void ForEachDescriptor(const std::vector<uint8_t> &config, Visit visit) {
  if (config.size() < kConfigurationDescriptorLength) {
    return;
  }
  const size_t total = std::min<size_t>(config.size(), config[2] | (config[3] << 8));
  size_t offset = std::max<size_t>(config[0], 2);
  while (offset + 2 <= total) {
    const size_t length = config[offset];
    if (length < 2 || length > total - offset) {
      return;
    }
    visit(offset, length);
    offset += length;
  }
}

// True when the configuration holds an interface descriptor with this number and setting.
bool HasAlternate(const std::vector<uint8_t> &config, uint8_t number, uint8_t alternate) {
  bool found = false;
  ForEachDescriptor(config, [&](size_t offset, size_t length) {
    if (config[offset + 1] == kInterfaceDescriptorType && length >= kInterfaceDescriptorLength &&
        config[offset + 2] == number && config[offset + 3] == alternate) {
      found = true;
    }
  });
  return found;
}

std::vector<uint8_t> Truncated(std::vector<uint8_t> bytes, uint16_t wLength) {
  if (bytes.size() > wLength) {
    bytes.resize(wLength);
  }
  return bytes;
}

}  // namespace

Reply StandardDevice::Control(const Setup &setup, const std::vector<uint8_t> &dataOut) {
  if ((setup.bmRequestType & kTypeMask) == kTypeStandard) {
    switch (setup.bRequest) {
      case kGetDescriptor:
        if ((setup.bmRequestType & kRecipientMask) != kRecipientDevice) {
          break;  // class descriptors of an interface
        }
        [[fallthrough]];
      case kGetStatus:
      case kGetConfiguration:
      case kSetConfiguration:
      case kGetInterface:
      case kSetInterface:
        return Standard(setup);
      default:
        break;
    }
  }
  return ClassOrVendor(setup, dataOut);
}

Reply StandardDevice::Standard(const Setup &setup) {
  const bool in = (setup.bmRequestType & kDirectionIn) != 0;
  const std::vector<uint8_t> config = ConfigurationDescriptor();
  switch (setup.bRequest) {
    case kGetDescriptor:
      return in ? GetDescriptor(setup) : Stall();
    case kGetStatus: {
      if (!in || setup.wLength < 2) {
        return Stall();
      }
      const bool selfPowered = (setup.bmRequestType & kRecipientMask) == kRecipientDevice &&
                               config.size() >= kConfigurationDescriptorLength &&
                               (config[7] & 0x40) != 0;
      return Ack({static_cast<uint8_t>(selfPowered ? 1 : 0), 0});
    }
    case kGetConfiguration:
      return in && setup.wLength >= 1 ? Ack({configuration_}) : Stall();
    case kSetConfiguration: {
      const uint8_t value = Low(setup.wValue);
      if (in || (value != 0 && (config.size() < kConfigurationDescriptorLength ||
                                value != config[5]))) {
        return Stall();
      }
      configuration_ = value;
      alternates_.clear();
      return Ack();
    }
    case kGetInterface: {
      const uint8_t number = Low(setup.wIndex);
      if (!in || setup.wLength < 1 || configuration_ == 0 || !HasAlternate(config, number, 0)) {
        return Stall();
      }
      return Ack({AlternateSetting(number)});
    }
    case kSetInterface:
      return in ? Stall() : SetInterface(setup);
    default:
      return Stall();
  }
}

Reply StandardDevice::GetDescriptor(const Setup &setup) const {
  const uint8_t type = High(setup.wValue);
  const uint8_t index = Low(setup.wValue);
  if (type == kDeviceDescriptorType && index == 0) {
    return Ack(Truncated(DeviceDescriptor(), setup.wLength));
  }
  if (type == kConfigurationDescriptorType && index == 0) {
    return Ack(Truncated(ConfigurationDescriptor(), setup.wLength));
  }
  return Stall();
}

Reply StandardDevice::SetInterface(const Setup &setup) {
  const uint8_t number = Low(setup.wIndex);
  const uint8_t alternate = Low(setup.wValue);
  if (configuration_ == 0 || !HasAlternate(ConfigurationDescriptor(), number, alternate)) {
    return Stall();
  }
  alternates_[number] = alternate;
  return Ack();
}

void StandardDevice::PortReset() {
  configuration_ = 0;
  alternates_.clear();
}

uint8_t StandardDevice::AlternateSetting(uint8_t interfaceNumber) const {
  const auto it = alternates_.find(interfaceNumber);
  return it == alternates_.end() ? 0 : it->second;
}

Reply StandardDevice::ClassOrVendor(const Setup &, const std::vector<uint8_t> &) {
  return Stall();
}

// ---------------------------------------------------------------- descriptor builders

std::vector<uint8_t> DeviceDescriptorBytes(const DeviceInfo &info) {
  return {kDeviceDescriptorLength,
          kDeviceDescriptorType,
          Low(info.bcdUSB),
          High(info.bcdUSB),
          info.bDeviceClass,
          info.bDeviceSubClass,
          info.bDeviceProtocol,
          info.bMaxPacketSize0,
          Low(info.idVendor),
          High(info.idVendor),
          Low(info.idProduct),
          High(info.idProduct),
          Low(info.bcdDevice),
          High(info.bcdDevice),
          info.iManufacturer,
          info.iProduct,
          info.iSerialNumber,
          info.bNumConfigurations};
}

std::vector<uint8_t> InterfaceDescriptor(uint8_t bInterfaceNumber, uint8_t bAlternateSetting,
                                         uint8_t bNumEndpoints, uint8_t bInterfaceClass,
                                         uint8_t bInterfaceSubClass,
                                         uint8_t bInterfaceProtocol, uint8_t iInterface) {
  return {kInterfaceDescriptorLength,
          kInterfaceDescriptorType,
          bInterfaceNumber,
          bAlternateSetting,
          bNumEndpoints,
          bInterfaceClass,
          bInterfaceSubClass,
          bInterfaceProtocol,
          iInterface};
}

std::vector<uint8_t> EndpointDescriptor(uint8_t bEndpointAddress, uint8_t bmAttributes,
                                        uint16_t wMaxPacketSize, uint8_t bInterval) {
  return {kEndpointDescriptorLength,
          kEndpointDescriptorType,
          bEndpointAddress,
          bmAttributes,
          Low(wMaxPacketSize),
          High(wMaxPacketSize),
          bInterval};
}

std::vector<uint8_t> RawDescriptor(uint8_t bDescriptorType, const std::vector<uint8_t> &body) {
  if (body.size() > 253) {
    throw std::length_error("a descriptor holds at most 253 bytes after its header");
  }
  std::vector<uint8_t> bytes{static_cast<uint8_t>(body.size() + 2), bDescriptorType};
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

std::vector<uint8_t> Configuration(const ConfigurationInfo &info,
                                   const std::vector<std::vector<uint8_t>> &descriptors) {
  size_t total = kConfigurationDescriptorLength;
  size_t interfaces = 0;
  for (const auto &descriptor : descriptors) {
    total += descriptor.size();
    if (descriptor.size() >= 4 && descriptor[1] == kInterfaceDescriptorType &&
        descriptor[3] == 0) {
      interfaces++;
    }
  }
  if (total > 0xFFFF || interfaces > 0xFF) {
    throw std::length_error("a configuration holds at most 65535 bytes and 255 interfaces");
  }
  const uint16_t wTotalLength = static_cast<uint16_t>(total);
  std::vector<uint8_t> bytes{kConfigurationDescriptorLength,
                             kConfigurationDescriptorType,
                             Low(wTotalLength),
                             High(wTotalLength),
                             static_cast<uint8_t>(interfaces),
                             info.bConfigurationValue,
                             info.iConfiguration,
                             info.bmAttributes,
                             info.bMaxPower};
  for (const auto &descriptor : descriptors) {
    bytes.insert(bytes.end(), descriptor.begin(), descriptor.end());
  }
  return bytes;
}

std::vector<uint8_t> Hub::DeviceDescriptor() const {
  return DeviceDescriptorBytes({.bDeviceClass = 0x09, .bDeviceSubClass = 0, .bDeviceProtocol = 0,
                                .idVendor = 0xF0F0, .idProduct = 0x0009, .bcdDevice = 0x0100});
}

std::vector<uint8_t> Hub::ConfigurationDescriptor() const {
  return Configuration({.bmAttributes = 0xE0, .bMaxPower = 1},
                       {InterfaceDescriptor(0, 0, 1, 0x09, 0, 0),
                        EndpointDescriptor(0x81, 0x03, 1, 12)});
}

}  // namespace usb
