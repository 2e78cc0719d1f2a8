// The bounded walk that turns a configuration into usbredir's interface and endpoint
// tables: one good configuration, then one fault at a time.
#include <gtest/gtest.h>

#include "emu/server/Descriptors.h"
#include "emu/server/TestDevice.h"

namespace {

std::vector<uint8_t> Good() { return emu::TestDevice().ConfigurationDescriptor(); }

TEST(DescriptorsTest, WalksEverySettingWithItsEndpoints) {
  std::vector<std::string> notes;
  const std::vector<emu::InterfaceInfo> all = emu::WalkConfiguration(Good(), &notes);
  EXPECT_TRUE(notes.empty());
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[0].number, 0);
  EXPECT_EQ(all[0].interfaceClass, 0xFF);
  ASSERT_EQ(all[0].endpoints.size(), 1u);
  EXPECT_EQ(all[0].endpoints[0].address, 0x81);
  EXPECT_EQ(all[0].endpoints[0].attributes, 0x03);
  EXPECT_EQ(all[0].endpoints[0].maxPacketSize, 8);
  EXPECT_EQ(all[0].endpoints[0].interval, 4);
  EXPECT_EQ(all[1].number, 1);
  EXPECT_EQ(all[1].alternate, 0);
  EXPECT_TRUE(all[1].endpoints.empty());
  EXPECT_EQ(all[2].alternate, 1);
  ASSERT_EQ(all[2].endpoints.size(), 2u);
  EXPECT_EQ(all[2].endpoints[1].address, 0x02);
  EXPECT_EQ(all[2].endpoints[1].maxPacketSize, 512);
}

TEST(DescriptorsTest, StopsAtWTotalLengthEvenWhenTheBufferIsLonger) {
  std::vector<uint8_t> config = Good();
  config[2] = 9 + 9 + 7;  // the configuration, interface 0 and its endpoint
  config[3] = 0;
  const std::vector<emu::InterfaceInfo> all = emu::WalkConfiguration(config);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].endpoints.size(), 1u);
}

TEST(DescriptorsTest, StopsAtTheBufferEndWhenWTotalLengthClaimsMore) {
  std::vector<uint8_t> config = Good();
  config.resize(9 + 9 + 7 + 4);  // interface 1's descriptor cut short
  std::vector<std::string> notes;
  const std::vector<emu::InterfaceInfo> all = emu::WalkConfiguration(config, &notes);
  EXPECT_EQ(all.size(), 1u);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0], "a descriptor of length 9 at offset 25 does not fit");
}

TEST(DescriptorsTest, AZeroLengthDescriptorEndsTheWalk) {
  std::vector<uint8_t> config = Good();
  config[9 + 9] = 0;  // the endpoint of interface 0
  std::vector<std::string> notes;
  const std::vector<emu::InterfaceInfo> all = emu::WalkConfiguration(config, &notes);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_TRUE(all[0].endpoints.empty());
  EXPECT_EQ(notes.size(), 1u);
}

TEST(DescriptorsTest, ShortInterfaceAndEarlyEndpointAreSkippedWithANote) {
  // Configuration, an endpoint before any interface, a 5-byte "interface", a class
  // descriptor longer than usual, then a good interface.
  const std::vector<std::vector<uint8_t>> parts{
      usb::EndpointDescriptor(0x81, 0x03, 8, 1),
      {5, usb::kInterfaceDescriptorType, 0, 0, 0},
      usb::RawDescriptor(0x24, std::vector<uint8_t>(40, 0xAB)),
      usb::InterfaceDescriptor(3, 0, 0, 0x0E, 0x01, 0x00),
  };
  std::vector<std::string> notes;
  const std::vector<emu::InterfaceInfo> all =
      emu::WalkConfiguration(usb::Configuration({}, parts), &notes);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].number, 3);
  EXPECT_EQ(all[0].interfaceClass, 0x0E);
  EXPECT_EQ(notes.size(), 2u);
}

TEST(DescriptorsTest, SomethingThatIsNotAConfigurationGivesNothing) {
  EXPECT_TRUE(emu::WalkConfiguration({}).empty());
  EXPECT_TRUE(emu::WalkConfiguration({9, usb::kDeviceDescriptorType, 9, 0, 0, 1, 0, 0x80, 50})
                  .empty());
}

TEST(DescriptorsTest, CurrentInterfacesFollowTheChosenSettings) {
  const std::vector<emu::InterfaceInfo> all = emu::WalkConfiguration(Good());
  std::vector<emu::InterfaceInfo> current = emu::CurrentInterfaces(all, {});
  ASSERT_EQ(current.size(), 2u);
  EXPECT_EQ(current[1].alternate, 0);
  current = emu::CurrentInterfaces(all, {{1, 1}});
  ASSERT_EQ(current.size(), 2u);
  EXPECT_EQ(current[1].alternate, 1);
  EXPECT_EQ(current[1].endpoints.size(), 2u);
  current = emu::CurrentInterfaces(all, {{1, 7}});  // no such setting: setting 0 stands
  EXPECT_EQ(current[1].alternate, 0);
}

TEST(DescriptorsTest, DeviceSummaryNeedsAWholeDeviceDescriptor) {
  const std::vector<uint8_t> descriptor = emu::TestDevice().DeviceDescriptor();
  const auto summary = emu::SummarizeDevice(descriptor);
  ASSERT_TRUE(summary.has_value());
  EXPECT_EQ(summary->idVendor, 0x3B5A);
  EXPECT_EQ(summary->idProduct, 0x7E57);
  EXPECT_EQ(summary->bcdDevice, 0x0100);
  EXPECT_EQ(summary->maxPacketSize0, 64);
  EXPECT_FALSE(emu::SummarizeDevice({descriptor.begin(), descriptor.begin() + 17}));
  std::vector<uint8_t> wrongType = descriptor;
  wrongType[1] = usb::kConfigurationDescriptorType;
  EXPECT_FALSE(emu::SummarizeDevice(wrongType));
}

TEST(DescriptorsTest, EndpointIndexPutsInEndpointsInTheUpperHalf) {
  EXPECT_EQ(emu::EndpointIndex(0x00), 0u);
  EXPECT_EQ(emu::EndpointIndex(0x02), 2u);
  EXPECT_EQ(emu::EndpointIndex(0x81), 17u);
  EXPECT_EQ(emu::EndpointIndex(0x8F), 31u);
}

}  // namespace
