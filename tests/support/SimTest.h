// The fixture every test of the driver starts from: a fresh simulated platform with the
// driver's platform globals pointing at it, checked at the end for pool leaks and
// violations. Also a plain USB device for tests that need one on the bus.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "camera/UsbDevice.h"
#include "platform/Platform.h"
#include "sim/Sim.h"

// Each reports through ADD_FAILURE(), one failure listing every leaked block / violation.
void ExpectPoolClean(const sim::Platform &platform);
void ExpectNoViolations(const sim::Platform &platform);

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The driver's debug messages so far, one entry per message.
  std::vector<std::string> Log() const;

  sim::Platform P;
};

// A device answering the standard requests from the descriptors below, which a test may
// change. By default: interface 0 (class 0xFF, one interrupt IN endpoint 0x81) and
// interface 1 (class 0xFF, no endpoint, alternate setting 1 with a bulk IN endpoint 0x82).
class PlainDevice : public usb::StandardDevice {
 public:
  explicit PlainDevice(uint16_t idVendor = 0x1234, uint16_t idProduct = 0x5678);

  std::vector<uint8_t> DeviceDescriptor() const override { return deviceDescriptor; }
  std::vector<uint8_t> ConfigurationDescriptor() const override { return configuration; }
  usb::Reply Control(const usb::Setup &setup, const std::vector<uint8_t> &dataOut) override;
  void Advance(uint64_t nowUs) override;
  bool Connected() const override { return connected; }
  uint32_t Generation() const override { return generation; }

  std::vector<uint8_t> deviceDescriptor;
  std::vector<uint8_t> configuration;
  bool connected = true;
  uint32_t generation = 0;
  // Class and vendor requests; they stall when unset.
  std::function<usb::Reply(const usb::Setup &, const std::vector<uint8_t> &)> onClassOrVendor;
  std::function<void(uint64_t nowUs)> onAdvance;
  // Every request that reached the device, the bus's own SET_CONFIGURATION included.
  std::vector<usb::Setup> seen;

 protected:
  usb::Reply ClassOrVendor(const usb::Setup &setup, const std::vector<uint8_t> &dataOut) override;
};
