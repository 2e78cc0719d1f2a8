// The test device's descriptors and vendor requests.
#include "emu/server/TestDevice.h"

namespace emu {

namespace td = kvr_test_device;

TestDevice::TestDevice(Identity identity) : identity_(identity) {}

std::vector<uint8_t> TestDevice::DeviceDescriptor() const {
  usb::DeviceInfo info;
  info.bDeviceClass = 0x00;  // classes per interface
  info.bDeviceSubClass = 0x00;
  info.bDeviceProtocol = 0x00;
  info.idVendor = identity_.idVendor;
  info.idProduct = identity_.idProduct;
  info.bcdDevice = identity_.bcdDevice;
  return usb::DeviceDescriptorBytes(info);
}

std::vector<uint8_t> TestDevice::ConfigurationDescriptor() const {
  return usb::Configuration(
      {}, {
              usb::InterfaceDescriptor(0, 0, 1, 0xFF, 0x00, 0x00),
              usb::EndpointDescriptor(0x81, 0x03, 8, 4),  // interrupt IN
              usb::InterfaceDescriptor(1, 0, 0, 0xFF, 0x01, 0x00),
              usb::InterfaceDescriptor(1, 1, 2, 0xFF, 0x01, 0x00),
              usb::EndpointDescriptor(0x82, 0x02, 512, 0),  // bulk IN
              usb::EndpointDescriptor(0x02, 0x02, 512, 0),  // bulk OUT
          });
}

void TestDevice::Advance(uint64_t nowUs) {
  nowUs_ = nowUs;
  if (returnAtUs_ && nowUs >= *returnAtUs_) {
    returnAtUs_.reset();
    identity_.bcdDevice++;
    generation_++;
    returns_++;
    connected_ = true;
  }
}

usb::Reply TestDevice::ClassOrVendor(const usb::Setup &setup,
                                     const std::vector<uint8_t> &dataOut) {
  const bool in = (setup.bmRequestType & usb::kDirectionIn) != 0;
  if ((setup.bmRequestType & usb::kTypeMask) != usb::kTypeVendor ||
      (setup.bmRequestType & usb::kRecipientMask) != usb::kRecipientDevice) {
    return usb::Stall();
  }
  switch (setup.bRequest) {
    case td::kRequestStore:
      if (in) {
        std::vector<uint8_t> answer = stored_;
        if (answer.size() > setup.wLength) {
          answer.resize(setup.wLength);
        }
        return usb::Ack(std::move(answer));
      }
      if (dataOut.size() > td::kStoreLimit) {
        return usb::Stall();
      }
      stored_ = dataOut;
      return usb::Ack();
    case td::kRequestReturnAsNext:
      if (in || setup.wValue == 0 || setup.wValue > td::kReturnLimitMs) {
        return usb::Stall();
      }
      connected_ = false;
      returnAtUs_ = nowUs_ + uint64_t{setup.wValue} * 1000;
      return usb::Ack();
    case td::kRequestStall:
      return usb::Stall();
    case td::kRequestNoAnswer:
      return usb::Reply{usb::Outcome::Timeout, {}};
    default:
      return usb::Stall();
  }
}

}  // namespace emu
