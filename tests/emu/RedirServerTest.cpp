// The camera server's usbredir link, against a guest-side parser on a socket pair.
#include <algorithm>
#include <stdexcept>

#include "RedirPeer.h"
#include "emu/TestDeviceProtocol.h"
#include "emu/server/TestDevice.h"

namespace {

namespace td = kvr_test_device;
using emu::RedirServer;
using emu_test::RedirLink;

constexpr uint8_t kStandardIn = 0x80;

// A device whose generation and connection a test sets, and which may throw.
class KnobDevice : public emu::TestDevice {
 public:
  bool Connected() const override { return connected; }
  uint32_t Generation() const override { return generation; }
  usb::Reply Control(const usb::Setup &setup, const std::vector<uint8_t> &dataOut) override {
    if (throwOnControl) {
      throw std::runtime_error("model fault");
    }
    return TestDevice::Control(setup, dataOut);
  }
  std::vector<uint8_t> DeviceDescriptor() const override {
    return badDescriptor ? std::vector<uint8_t>{5, 1, 0, 2, 0} : TestDevice::DeviceDescriptor();
  }
  bool connected = true;
  uint32_t generation = 0;
  bool throwOnControl = false;
  bool badDescriptor = false;
};

TEST(RedirServerTest, AnnouncesInterfacesEndpointsAndDeviceAfterThePeersHello) {
  emu::TestDevice device;
  RedirLink link(device);
  link.Settle();
  const std::vector<std::string> expected{"hello", "interface_info", "ep_info", "device_connect"};
  EXPECT_EQ(link.peer->sequence, expected);
  ASSERT_EQ(link.peer->connects.size(), 1u);
  const usb_redir_device_connect_header &connect = link.peer->connects[0];
  EXPECT_EQ(connect.speed, usb_redir_speed_high);
  EXPECT_EQ(connect.vendor_id, td::kVendorId);
  EXPECT_EQ(connect.product_id, td::kProductId);
  EXPECT_EQ(connect.device_version_bcd, td::kBcdDevice);
  EXPECT_EQ(connect.device_class, 0);

  const usb_redir_interface_info_header &interfaces = link.peer->interfaceInfos[0];
  ASSERT_EQ(interfaces.interface_count, 2u);
  EXPECT_EQ(interfaces.interface[1], 1);
  EXPECT_EQ(interfaces.interface_class[0], 0xFF);
  EXPECT_EQ(interfaces.interface_subclass[1], 0x01);

  const usb_redir_ep_info_header &endpoints = link.peer->epInfos[0];
  EXPECT_EQ(endpoints.type[0], usb_redir_type_control);
  EXPECT_EQ(endpoints.type[16], usb_redir_type_control);
  EXPECT_EQ(endpoints.max_packet_size[0], 64);
  EXPECT_EQ(endpoints.type[17], usb_redir_type_interrupt);  // 0x81
  EXPECT_EQ(endpoints.max_packet_size[17], 8);
  EXPECT_EQ(endpoints.interval[17], 4);
  EXPECT_EQ(endpoints.interface[17], 0);
  // Alternate setting 1's bulk endpoints are not there until it is chosen.
  EXPECT_EQ(endpoints.type[18], usb_redir_type_invalid);
  EXPECT_EQ(endpoints.type[2], usb_redir_type_invalid);
  EXPECT_TRUE(link.server->Announced());
  EXPECT_EQ(link.server->Counters().connects, 1u);
}

TEST(RedirServerTest, AnnouncesNothingUntilThePeerSaysHello) {
  emu::TestDevice device;
  RedirLink link(device);
  for (int i = 0; i < 3; i++) {
    link.PumpServer();
    link.peer->Read();  // the peer's own hello stays unsent
  }
  EXPECT_EQ(link.peer->sequence, std::vector<std::string>{"hello"});
  EXPECT_FALSE(link.server->Announced());
}

TEST(RedirServerTest, ControlInAnswersAtMostWLengthBytes) {
  emu::TestDevice device;
  RedirLink link(device);
  link.Settle();
  const uint64_t id = link.peer->SendControl(kStandardIn, usb::kGetDescriptor, 0x0100, 0, 8);
  link.Settle();
  ASSERT_EQ(link.peer->answers.count(id), 1u);
  const emu_test::ControlAnswer &answer = link.peer->answers[id];
  EXPECT_EQ(answer.header.status, usb_redir_success);
  EXPECT_EQ(answer.header.length, 8);
  const std::vector<uint8_t> descriptor = device.DeviceDescriptor();
  EXPECT_EQ(answer.data, std::vector<uint8_t>(descriptor.begin(), descriptor.begin() + 8));
  ASSERT_EQ(link.server->Requests().size(), 1u);
  EXPECT_EQ(link.server->Requests()[0].via, "control");
  EXPECT_EQ(link.server->Requests()[0].result, "ack");
}

TEST(RedirServerTest, ShortAnswerKeepsItsLengthAndOutDataReachesTheDevice) {
  emu::TestDevice device;
  RedirLink link(device);
  link.Settle();
  const std::vector<uint8_t> data{1, 2, 3, 4, 5};
  const uint64_t out = link.peer->SendControl(td::kRequestTypeOut, td::kRequestStore, 0, 0, 5, data);
  const uint64_t in = link.peer->SendControl(td::kRequestTypeIn, td::kRequestStore, 0, 0, 64);
  link.Settle();
  EXPECT_EQ(device.Stored(), data);
  EXPECT_EQ(link.peer->answers[out].header.status, usb_redir_success);
  EXPECT_EQ(link.peer->answers[out].header.length, 5);
  EXPECT_TRUE(link.peer->answers[out].data.empty());
  EXPECT_EQ(link.peer->answers[in].header.length, 5);  // short: the device had 5 bytes
  EXPECT_EQ(link.peer->answers[in].data, data);
  EXPECT_EQ(link.server->Requests()[0].dataOut, data);
}

TEST(RedirServerTest, StallBecomesTheStallStatus) {
  emu::TestDevice device;
  RedirLink link(device);
  link.Settle();
  const uint64_t id = link.peer->SendControl(td::kRequestTypeIn, td::kRequestStall, 0, 0, 8);
  link.Settle();
  EXPECT_EQ(link.peer->answers[id].header.status, usb_redir_stall);
  EXPECT_EQ(link.peer->answers[id].header.length, 0);
  EXPECT_EQ(link.server->Requests()[0].result, "stall");
}

TEST(RedirServerTest, UnansweredRequestWaitsUntilThePeerCancelsIt) {
  emu::TestDevice device;
  RedirLink link(device);
  link.Settle();
  const uint64_t id = link.peer->SendControl(td::kRequestTypeIn, td::kRequestNoAnswer, 0, 0, 8);
  link.Settle();
  link.Advance(5'000'000);
  link.Settle();
  EXPECT_EQ(link.peer->answers.count(id), 0u);
  EXPECT_EQ(link.server->Requests()[0].result, "held");

  usbredirparser_send_cancel_data_packet(link.peer->Parser(), id);
  link.Settle();
  ASSERT_EQ(link.peer->answers.count(id), 1u);
  EXPECT_EQ(link.peer->answers[id].header.status, usb_redir_cancelled);
  EXPECT_EQ(link.server->Requests()[0].result, "cancelled");
  EXPECT_EQ(link.server->Counters().cancelled, 1u);
}

TEST(RedirServerTest, UnansweredRequestTimesOutAfterTheHoldLimit) {
  emu::TestDevice device;
  RedirServer::Options options;
  options.holdLimitUs = 200'000;
  RedirLink link(device, options);
  link.Settle();
  const uint64_t id = link.peer->SendControl(td::kRequestTypeIn, td::kRequestNoAnswer, 0, 0, 8);
  link.Settle();
  link.Advance(199'000);
  link.Settle();
  EXPECT_EQ(link.peer->answers.count(id), 0u);
  link.Advance(2'000);
  link.Settle();
  ASSERT_EQ(link.peer->answers.count(id), 1u);
  EXPECT_EQ(link.peer->answers[id].header.status, usb_redir_timeout);
  EXPECT_EQ(link.server->Requests()[0].result, "expired");
  EXPECT_EQ(link.server->Counters().expired, 1u);
}

TEST(RedirServerTest, SetAndGetConfigurationBecomeTheStandardRequests) {
  emu::TestDevice device;
  RedirLink link(device);
  link.Settle();
  usb_redir_set_configuration_header set{1};
  usbredirparser_send_set_configuration(link.peer->Parser(), 7, &set);
  link.Settle();
  ASSERT_EQ(link.peer->configurationStatus.size(), 1u);
  EXPECT_EQ(link.peer->configurationStatus[0].first, 7u);
  EXPECT_EQ(link.peer->configurationStatus[0].second.status, usb_redir_success);
  EXPECT_EQ(link.peer->configurationStatus[0].second.configuration, 1);
  EXPECT_EQ(device.ActiveConfiguration(), 1);
  // The interfaces and endpoints are announced again before the status.
  const std::vector<std::string> tail(link.peer->sequence.end() - 3, link.peer->sequence.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"interface_info", "ep_info", "configuration_status"}));

  usb_redir_set_configuration_header wrong{2};
  usbredirparser_send_set_configuration(link.peer->Parser(), 8, &wrong);
  usbredirparser_send_get_configuration(link.peer->Parser(), 9);
  link.Settle();
  ASSERT_EQ(link.peer->configurationStatus.size(), 3u);
  EXPECT_EQ(link.peer->configurationStatus[1].second.status, usb_redir_stall);
  EXPECT_EQ(link.peer->configurationStatus[1].second.configuration, 1);
  EXPECT_EQ(link.peer->configurationStatus[2].second.status, usb_redir_success);
  EXPECT_EQ(link.peer->configurationStatus[2].second.configuration, 1);
  EXPECT_EQ(link.server->Requests()[0].via, "set-configuration");
  EXPECT_EQ(link.server->Requests()[2].via, "get-configuration");
}

TEST(RedirServerTest, AlternateSettingChangesTheAnnouncedEndpoints) {
  emu::TestDevice device;
  RedirLink link(device);
  link.Settle();
  usb_redir_set_configuration_header set{1};
  usbredirparser_send_set_configuration(link.peer->Parser(), 1, &set);
  usb_redir_set_alt_setting_header alt{1, 1};
  usbredirparser_send_set_alt_setting(link.peer->Parser(), 2, &alt);
  usb_redir_get_alt_setting_header get{1};
  usbredirparser_send_get_alt_setting(link.peer->Parser(), 3, &get);
  usb_redir_set_alt_setting_header missing{1, 5};
  usbredirparser_send_set_alt_setting(link.peer->Parser(), 4, &missing);
  link.Settle();
  ASSERT_EQ(link.peer->altStatus.size(), 3u);
  EXPECT_EQ(link.peer->altStatus[0].second.status, usb_redir_success);
  EXPECT_EQ(link.peer->altStatus[0].second.alt, 1);
  EXPECT_EQ(link.peer->altStatus[1].second.status, usb_redir_success);
  EXPECT_EQ(link.peer->altStatus[1].second.alt, 1);
  EXPECT_EQ(link.peer->altStatus[2].second.status, usb_redir_stall);
  EXPECT_EQ(link.peer->altStatus[2].second.alt, 1);  // unchanged
  EXPECT_EQ(device.AlternateSetting(1), 1);
  const usb_redir_ep_info_header &endpoints = link.peer->epInfos.back();
  EXPECT_EQ(endpoints.type[18], usb_redir_type_bulk);  // 0x82
  EXPECT_EQ(endpoints.max_packet_size[18], 512);
  EXPECT_EQ(endpoints.interface[18], 1);
  EXPECT_EQ(endpoints.type[2], usb_redir_type_bulk);  // 0x02
  EXPECT_EQ(endpoints.type[17], usb_redir_type_interrupt);
}

TEST(RedirServerTest, LeavingTheBusDisconnectsAndTheReturnIsAnnouncedAfterTheAck) {
  emu::TestDevice device;
  RedirLink link(device);
  link.Settle();
  const uint64_t id =
      link.peer->SendControl(td::kRequestTypeOut, td::kRequestReturnAsNext, 100, 0, 0);
  link.Settle();
  // The request is acknowledged before the device leaves.
  ASSERT_EQ(link.peer->answers[id].header.status, usb_redir_success);
  const auto answer = std::find(link.peer->sequence.begin(), link.peer->sequence.end(), "control");
  EXPECT_EQ(std::find(answer, link.peer->sequence.end(), "device_disconnect") - answer, 1);
  EXPECT_EQ(link.peer->disconnects, 1);
  EXPECT_EQ(link.server->Counters().disconnectAcks, 1u);
  EXPECT_FALSE(link.server->Announced());

  link.Advance(99'000);
  link.Settle();
  EXPECT_EQ(link.peer->connects.size(), 1u);
  link.Advance(2'000);
  link.Settle();
  ASSERT_EQ(link.peer->connects.size(), 2u);
  EXPECT_EQ(link.peer->connects[1].device_version_bcd, td::kBcdDevice + 1);
  EXPECT_EQ(link.peer->interfaceInfos.size(), 2u);
  EXPECT_EQ(link.peer->epInfos.size(), 2u);
  EXPECT_TRUE(link.server->Announced());
}

TEST(RedirServerTest, ReturnWaitsForTheDisconnectAckUntilItsLimit) {
  KnobDevice device;
  RedirServer::Options options;
  options.disconnectAckLimitUs = 1'000'000;
  RedirLink link(device, options);
  link.Settle();
  device.generation = 1;  // back at once as a new device
  for (int i = 0; i < 3; i++) {
    link.PumpServer();
    link.peer->Read();  // the peer's ack stays queued
  }
  EXPECT_EQ(link.peer->disconnects, 1);
  EXPECT_EQ(link.peer->connects.size(), 1u);
  link.Advance(1'000'000);
  link.PumpServer();
  link.peer->Read();
  EXPECT_EQ(link.peer->connects.size(), 2u);
}

TEST(RedirServerTest, RequestsForADeviceOffTheBusGetAnIoError) {
  KnobDevice device;
  RedirLink link(device);
  link.Settle();
  device.connected = false;
  link.Settle();
  const uint64_t id = link.peer->SendControl(kStandardIn, usb::kGetDescriptor, 0x0100, 0, 18);
  usb_redir_set_configuration_header set{1};
  usbredirparser_send_set_configuration(link.peer->Parser(), 50, &set);
  link.Settle();
  EXPECT_EQ(link.peer->answers[id].header.status, usb_redir_ioerror);
  EXPECT_EQ(link.peer->configurationStatus.back().second.status, usb_redir_ioerror);
  EXPECT_EQ(link.server->Counters().refused, 2u);
  EXPECT_TRUE(link.server->Requests().empty());  // the device saw none of it
  device.connected = true;
  link.Settle();
  EXPECT_EQ(link.peer->connects.size(), 2u);
}

TEST(RedirServerTest, ResetIsThePortResetOfTheDevice) {
  emu::TestDevice device;
  RedirLink link(device);
  link.Settle();
  usb_redir_set_configuration_header set{1};
  usbredirparser_send_set_configuration(link.peer->Parser(), 1, &set);
  link.Settle();
  ASSERT_EQ(device.ActiveConfiguration(), 1);
  usbredirparser_send_reset(link.peer->Parser());
  link.Settle();
  EXPECT_EQ(device.ActiveConfiguration(), 0);
  EXPECT_EQ(link.server->Counters().resets, 1u);
  EXPECT_EQ(link.server->Events().back().what, "reset");
}

TEST(RedirServerTest, UnreadableDeviceDescriptorKeepsTheDeviceOffTheBus) {
  KnobDevice device;
  device.badDescriptor = true;
  RedirLink link(device);
  link.Settle();
  EXPECT_TRUE(link.peer->connects.empty());
  EXPECT_FALSE(link.server->Announced());
  EXPECT_EQ(link.server->CurrentStatus(), RedirServer::Status::Running);
  device.badDescriptor = false;
  device.generation = 1;  // a new device with good descriptors
  link.Settle();
  EXPECT_EQ(link.peer->connects.size(), 1u);
}

TEST(RedirServerTest, BulkTrafficStallsAndInterruptReceivingNeedsAnInterruptInEndpoint) {
  emu::TestDevice device;
  RedirLink link(device);
  link.Settle();
  usb_redir_bulk_packet_header bulk{};
  bulk.endpoint = 0x82;
  bulk.length = 512;
  usbredirparser_send_bulk_packet(link.peer->Parser(), 3, &bulk, nullptr, 0);
  usb_redir_start_interrupt_receiving_header good{0x81};
  usbredirparser_send_start_interrupt_receiving(link.peer->Parser(), 4, &good);
  usb_redir_start_interrupt_receiving_header bad{0x83};
  usbredirparser_send_start_interrupt_receiving(link.peer->Parser(), 5, &bad);
  link.Settle();
  ASSERT_EQ(link.peer->bulkAnswers.size(), 1u);
  EXPECT_EQ(link.peer->bulkAnswers[0].status, usb_redir_stall);
  EXPECT_EQ(link.peer->bulkAnswers[0].length, 0);
  ASSERT_EQ(link.peer->interruptStatus.size(), 2u);
  EXPECT_EQ(link.peer->interruptStatus[0].status, usb_redir_success);
  EXPECT_EQ(link.peer->interruptStatus[1].status, usb_redir_inval);
  EXPECT_EQ(link.server->Counters().unsupported, 1u);
}

TEST(RedirServerTest, PeerHangUpEndsTheLink) {
  emu::TestDevice device;
  RedirLink link(device);
  link.Settle();
  link.HangUp();
  EXPECT_EQ(link.server->Pump(link.nowUs), RedirServer::Status::PeerClosed);
  EXPECT_EQ(link.server->Events().back().what, "hangup");
  EXPECT_TRUE(link.server->Failure().empty());
}

TEST(RedirServerTest, AModelThatThrowsFailsTheLinkWithItsMessage) {
  KnobDevice device;
  RedirLink link(device);
  link.Settle();
  device.throwOnControl = true;
  link.peer->SendControl(kStandardIn, usb::kGetDescriptor, 0x0100, 0, 18);
  link.peer->Flush();
  EXPECT_EQ(link.server->Pump(link.nowUs), RedirServer::Status::Failed);
  EXPECT_EQ(link.server->Failure(), "the device model threw: model fault");
}

TEST(RedirServerTest, RequestLogStopsAtItsLimitAndCountsTheRest) {
  emu::TestDevice device;
  RedirServer::Options options;
  options.requestLogLimit = 2;
  RedirLink link(device, options);
  link.Settle();
  for (int i = 0; i < 3; i++) {
    link.peer->SendControl(td::kRequestTypeIn, td::kRequestStall, 0, 0, 1);
  }
  link.Settle();
  EXPECT_EQ(link.server->Requests().size(), 2u);
  EXPECT_EQ(link.server->RequestsNotLogged(), 1u);
  EXPECT_EQ(link.peer->answers.size(), 3u);  // all answered all the same
}

TEST(RedirServerTest, TheDeviceClockIsThePumpsClock) {
  emu::TestDevice device;
  RedirLink link(device);
  link.Settle();
  link.peer->SendControl(td::kRequestTypeOut, td::kRequestReturnAsNext, 250, 0, 0);
  link.Advance(10'000);
  link.Settle();  // the device leaves at 11 ms and plans its return for 261 ms
  ASSERT_FALSE(device.Connected());
  link.Advance(249'000);
  link.Settle();
  EXPECT_FALSE(device.Connected());
  link.Advance(2'000);
  link.Settle();
  EXPECT_TRUE(device.Connected());
  EXPECT_EQ(device.Returns(), 1u);
}

}  // namespace
