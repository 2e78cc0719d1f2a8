// A USB 2.0 device as its host sees it: descriptors, control transfers on endpoint 0,
// connect and disconnect. The camera model implements it; the simulated platform and the
// usbredir server are its two transports. Nothing here knows UEFI.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

namespace usb {

// USB 2.0, 9.3: the setup packet of a control transfer.
struct Setup {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;
};

// bmRequestType fields.
constexpr uint8_t kDirectionIn = 0x80;
constexpr uint8_t kTypeMask = 0x60;
constexpr uint8_t kTypeStandard = 0x00;
constexpr uint8_t kTypeClass = 0x20;
constexpr uint8_t kTypeVendor = 0x40;
constexpr uint8_t kRecipientMask = 0x1F;
constexpr uint8_t kRecipientDevice = 0x00;
constexpr uint8_t kRecipientInterface = 0x01;
constexpr uint8_t kRecipientEndpoint = 0x02;

// Standard requests (USB 2.0, table 9-4).
constexpr uint8_t kGetStatus = 0x00;
constexpr uint8_t kClearFeature = 0x01;
constexpr uint8_t kSetFeature = 0x03;
constexpr uint8_t kSetAddress = 0x05;
constexpr uint8_t kGetDescriptor = 0x06;
constexpr uint8_t kSetDescriptor = 0x07;
constexpr uint8_t kGetConfiguration = 0x08;
constexpr uint8_t kSetConfiguration = 0x09;
constexpr uint8_t kGetInterface = 0x0A;
constexpr uint8_t kSetInterface = 0x0B;

// Descriptor types (USB 2.0, table 9-5).
constexpr uint8_t kDeviceDescriptorType = 0x01;
constexpr uint8_t kConfigurationDescriptorType = 0x02;
constexpr uint8_t kStringDescriptorType = 0x03;
constexpr uint8_t kInterfaceDescriptorType = 0x04;
constexpr uint8_t kEndpointDescriptorType = 0x05;

constexpr uint8_t kDeviceDescriptorLength = 18;
constexpr uint8_t kConfigurationDescriptorLength = 9;
constexpr uint8_t kInterfaceDescriptorLength = 9;
constexpr uint8_t kEndpointDescriptorLength = 7;

enum class Outcome { Ack, Stall, Timeout };

// The device's answer to one control transfer. For IN requests, data holds the bytes the
// device returns: fewer than wLength is a short answer; more than wLength is never delivered.
struct Reply {
  Outcome outcome = Outcome::Ack;
  std::vector<uint8_t> data;
};

// Shorthands for the two common answers.
Reply Ack(std::vector<uint8_t> data = {});
Reply Stall();

class Device {
 public:
  virtual ~Device();
  // The 18-byte device descriptor.
  virtual std::vector<uint8_t> DeviceDescriptor() const = 0;
  // The whole configuration: configuration descriptor and everything after it,
  // wTotalLength bytes.
  virtual std::vector<uint8_t> ConfigurationDescriptor() const = 0;
  // One control transfer. dataOut holds the data stage of an OUT request.
  virtual Reply Control(const Setup &setup, const std::vector<uint8_t> &dataOut) = 0;
  // Virtual time has reached nowUs (microseconds since the host started).
  virtual void Advance(uint64_t nowUs);
  // False while unplugged, for example between a detach and the return as another device.
  virtual bool Connected() const;
  // Changes each time the device comes back as a new device, so the host enumerates it again.
  virtual uint32_t Generation() const;
  // The host resets the port the device is on.
  virtual void PortReset();
};

// A device that answers the standard requests from its own descriptors: GET_DESCRIPTOR
// (device and configuration), GET_STATUS, GET/SET_CONFIGURATION, GET/SET_INTERFACE.
// Every other request goes to ClassOrVendor.
class StandardDevice : public Device {
 public:
  Reply Control(const Setup &setup, const std::vector<uint8_t> &dataOut) override;
  void PortReset() override;

  // 0 while unconfigured.
  uint8_t ActiveConfiguration() const { return configuration_; }
  // The alternate setting selected for an interface; 0 unless SET_INTERFACE chose another.
  uint8_t AlternateSetting(uint8_t interfaceNumber) const;

 protected:
  // Requests the standard part does not answer. Stalls by default.
  virtual Reply ClassOrVendor(const Setup &setup, const std::vector<uint8_t> &dataOut);

 private:
  Reply Standard(const Setup &setup);
  Reply GetDescriptor(const Setup &setup) const;
  Reply SetInterface(const Setup &setup);

  uint8_t configuration_ = 0;
  std::map<uint8_t, uint8_t> alternates_;
};

// A USB 2.0 hub as its host sees it on endpoint 0 (USB 2.0, 11.23): device class 9, one
// interface of class 9 with its status-change endpoint. The devices on its ports are the
// bus's to carry; a hub answers the standard requests and stalls the rest.
class Hub : public StandardDevice {
 public:
  std::vector<uint8_t> DeviceDescriptor() const override;
  std::vector<uint8_t> ConfigurationDescriptor() const override;
};

// ---------------------------------------------------------------- descriptor builders

struct DeviceInfo {
  uint16_t bcdUSB = 0x0200;
  uint8_t bDeviceClass = 0xEF;  // miscellaneous: interface association
  uint8_t bDeviceSubClass = 0x02;
  uint8_t bDeviceProtocol = 0x01;
  uint8_t bMaxPacketSize0 = 64;
  uint16_t idVendor = 0;
  uint16_t idProduct = 0;
  uint16_t bcdDevice = 0;
  uint8_t iManufacturer = 0;
  uint8_t iProduct = 0;
  uint8_t iSerialNumber = 0;
  uint8_t bNumConfigurations = 1;
};
std::vector<uint8_t> DeviceDescriptorBytes(const DeviceInfo &info);

std::vector<uint8_t> InterfaceDescriptor(uint8_t bInterfaceNumber, uint8_t bAlternateSetting,
                                         uint8_t bNumEndpoints, uint8_t bInterfaceClass,
                                         uint8_t bInterfaceSubClass,
                                         uint8_t bInterfaceProtocol, uint8_t iInterface = 0);
std::vector<uint8_t> EndpointDescriptor(uint8_t bEndpointAddress, uint8_t bmAttributes,
                                        uint16_t wMaxPacketSize, uint8_t bInterval);
// Any descriptor: bLength (2 + body size) and bDescriptorType, then the body.
std::vector<uint8_t> RawDescriptor(uint8_t bDescriptorType, const std::vector<uint8_t> &body);

struct ConfigurationInfo {
  uint8_t bConfigurationValue = 1;
  uint8_t iConfiguration = 0;
  uint8_t bmAttributes = 0x80;  // bus powered
  uint8_t bMaxPower = 250;      // 500 mA
};
// The configuration descriptor followed by the given descriptors, in order, with
// wTotalLength and bNumInterfaces (interface descriptors with bAlternateSetting 0) filled.
// Throws std::length_error past 65535 bytes.
std::vector<uint8_t> Configuration(const ConfigurationInfo &info,
                                   const std::vector<std::vector<uint8_t>> &descriptors);

}  // namespace usb
