#include "support/SimTest.h"

#include "driver/Driver.h"
#include "sim/Log.h"

namespace {

std::string Lines(const std::vector<std::string> &lines) {
  std::string text;
  for (const std::string &line : lines) {
    text += "\n  " + line;
  }
  return text;
}

}  // namespace

void ExpectPoolClean(const sim::Platform &platform) {
  const std::vector<std::string> leaks = platform.Leaks();
  if (!leaks.empty()) {
    ADD_FAILURE() << leaks.size() << " pool block(s) leaked:" << Lines(leaks);
  }
}

void ExpectNoViolations(const sim::Platform &platform) {
  const std::vector<std::string> violations = platform.Violations();
  if (!violations.empty()) {
    ADD_FAILURE() << violations.size() << " platform violation(s):" << Lines(violations);
  }
}

void SimTest::SetUp() {
  P.InstallDriverGlobals();
  sim::ResetDriverState();
}

void SimTest::TearDown() {
  ExpectPoolClean(P);
  ExpectNoViolations(P);
}

std::vector<std::string> SimTest::Log() const { return sim::CapturedLog(); }

PlainDevice::PlainDevice(uint16_t idVendor, uint16_t idProduct)
    : deviceDescriptor(usb::DeviceDescriptorBytes(
          usb::DeviceInfo{.idVendor = idVendor, .idProduct = idProduct, .bcdDevice = 0x0100})),
      configuration(usb::Configuration({}, {
                                               usb::InterfaceDescriptor(0, 0, 1, 0xFF, 0, 0),
                                               usb::EndpointDescriptor(0x81, 0x03, 16, 8),
                                               usb::InterfaceDescriptor(1, 0, 0, 0xFF, 0, 0),
                                               usb::InterfaceDescriptor(1, 1, 1, 0xFF, 0, 0),
                                               usb::EndpointDescriptor(0x82, 0x02, 512, 0),
                                           })) {}

usb::Reply PlainDevice::Control(const usb::Setup &setup, const std::vector<uint8_t> &dataOut) {
  seen.push_back(setup);
  return StandardDevice::Control(setup, dataOut);
}

void PlainDevice::Advance(uint64_t nowUs) {
  if (onAdvance) {
    onAdvance(nowUs);
  }
}

usb::Reply PlainDevice::ClassOrVendor(const usb::Setup &setup,
                                      const std::vector<uint8_t> &dataOut) {
  return onClassOrVendor ? onClassOrVendor(setup, dataOut) : usb::Stall();
}
