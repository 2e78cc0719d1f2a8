// The standard-request part every device model builds on, and the descriptor builders.
#include "support/SimTest.h"

namespace {

usb::Reply Request(usb::Device &device, uint8_t type, uint8_t request, uint16_t value,
                   uint16_t index, uint16_t length) {
  return device.Control(usb::Setup{type, request, value, index, length}, {});
}

TEST(StandardDeviceTest, ConfigurationBuilderCountsOnlyFirstSettingsAndFillsTheTotal) {
  const PlainDevice device;
  const std::vector<uint8_t> &config = device.configuration;
  ASSERT_EQ(config.size(), 50u);
  EXPECT_EQ(config[2] | (config[3] << 8), 50);
  EXPECT_EQ(config[4], 2);  // interface 1's alternate setting is not another interface
  EXPECT_THROW(usb::Configuration({}, {std::vector<uint8_t>(0x10000)}), std::length_error);
}

TEST(StandardDeviceTest, GetDescriptorAnswersAtMostWLength) {
  PlainDevice device;
  const usb::Reply reply = Request(device, 0x80, usb::kGetDescriptor, 0x0100, 0, 8);
  ASSERT_EQ(reply.outcome, usb::Outcome::Ack);
  EXPECT_EQ(reply.data, std::vector<uint8_t>(device.deviceDescriptor.begin(),
                                             device.deviceDescriptor.begin() + 8));
  EXPECT_EQ(Request(device, 0x80, usb::kGetDescriptor, 0x0300, 0, 255).outcome,
            usb::Outcome::Stall);  // no string descriptors unless the model adds them
}

TEST(StandardDeviceTest, SetInterfaceNeedsAConfigurationAndAnExistingSetting) {
  PlainDevice device;
  EXPECT_EQ(Request(device, 0x01, usb::kSetInterface, 1, 1, 0).outcome, usb::Outcome::Stall);
  ASSERT_EQ(Request(device, 0x00, usb::kSetConfiguration, 1, 0, 0).outcome, usb::Outcome::Ack);
  EXPECT_EQ(Request(device, 0x01, usb::kSetInterface, 2, 1, 0).outcome, usb::Outcome::Stall);
  EXPECT_EQ(Request(device, 0x01, usb::kSetInterface, 1, 1, 0).outcome, usb::Outcome::Ack);
  EXPECT_EQ(device.AlternateSetting(1), 1);
  EXPECT_EQ(Request(device, 0x81, usb::kGetInterface, 0, 1, 1).data, std::vector<uint8_t>{1});
  device.PortReset();
  EXPECT_EQ(device.ActiveConfiguration(), 0);
  EXPECT_EQ(device.AlternateSetting(1), 0);
}

TEST(StandardDeviceTest, UnknownConfigurationValueStalls) {
  PlainDevice device;
  EXPECT_EQ(Request(device, 0x00, usb::kSetConfiguration, 2, 0, 0).outcome, usb::Outcome::Stall);
  EXPECT_EQ(Request(device, 0x80, usb::kGetConfiguration, 0, 0, 1).data, std::vector<uint8_t>{0});
}

}  // namespace
