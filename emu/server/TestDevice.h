// The test device: a plain USB 2.0 device for proving the emulator's transport without
// the camera model. It answers the standard requests from its descriptors and the vendor
// requests of emu/TestDeviceProtocol.h: keep and return data, stall, never answer, and
// drop off the bus to come back as a new device.
//
// Interface 0: class 0xFF, one interrupt IN endpoint 0x81.
// Interface 1: class 0xFF subclass 0x01, no endpoint; alternate setting 1 adds bulk
// endpoints 0x82 (IN) and 0x02 (OUT).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "camera/UsbDevice.h"
#include "emu/TestDeviceProtocol.h"

namespace emu {

struct TestDeviceIdentity {
  uint16_t idVendor = kvr_test_device::kVendorId;
  uint16_t idProduct = kvr_test_device::kProductId;
  uint16_t bcdDevice = kvr_test_device::kBcdDevice;
};

class TestDevice : public usb::StandardDevice {
 public:
  using Identity = TestDeviceIdentity;

  explicit TestDevice(Identity identity = {});

  std::vector<uint8_t> DeviceDescriptor() const override;
  std::vector<uint8_t> ConfigurationDescriptor() const override;
  void Advance(uint64_t nowUs) override;
  bool Connected() const override { return connected_; }
  uint32_t Generation() const override { return generation_; }

  const Identity &CurrentIdentity() const { return identity_; }
  const std::vector<uint8_t> &Stored() const { return stored_; }
  uint32_t Returns() const { return returns_; }  // times it came back as a new device

 protected:
  usb::Reply ClassOrVendor(const usb::Setup &setup, const std::vector<uint8_t> &dataOut) override;

 private:
  Identity identity_;
  std::vector<uint8_t> stored_;
  bool connected_ = true;
  uint32_t generation_ = 0;
  uint32_t returns_ = 0;
  uint64_t nowUs_ = 0;
  std::optional<uint64_t> returnAtUs_;
};

}  // namespace emu
