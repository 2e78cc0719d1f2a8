// The QEMU end of a usbredir link, for testing the camera server without QEMU: a
// libusbredirparser instance in the guest role on one end of a socket pair, recording
// every packet the server sends, and a RedirServer on the other end.
#pragma once

#include <gtest/gtest.h>
#include <usbredirparser.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "emu/server/RedirServer.h"

namespace emu_test {

struct ControlAnswer {
  uint64_t id;
  usb_redir_control_packet_header header;
  std::vector<uint8_t> data;
};

class RedirPeer {
 public:
  // The parser announces device_disconnect_ack on its own and answers every
  // device_disconnect with an ack when its peer announced it too.
  explicit RedirPeer(int fd);
  ~RedirPeer();
  RedirPeer(const RedirPeer &) = delete;
  RedirPeer &operator=(const RedirPeer &) = delete;

  // Reads and handles what the server sent; false once the socket failed or closed.
  bool Read();
  // Writes what the peer has queued.
  void Flush();
  usbredirparser *Parser() { return parser_; }

  // Sends a control packet; returns its id.
  uint64_t SendControl(uint8_t requestType, uint8_t request, uint16_t value, uint16_t index,
                       uint16_t length, const std::vector<uint8_t> &dataOut = {});

  // What arrived, in order: packet names ("hello", "interface_info", "ep_info",
  // "device_connect", "device_disconnect", "control", "configuration_status",
  // "alt_setting_status", "interrupt_receiving_status", "bulk", ...).
  std::vector<std::string> sequence;
  int hellos = 0;
  std::vector<usb_redir_device_connect_header> connects;
  int disconnects = 0;
  std::vector<usb_redir_interface_info_header> interfaceInfos;
  std::vector<usb_redir_ep_info_header> epInfos;
  std::map<uint64_t, ControlAnswer> answers;
  std::vector<std::pair<uint64_t, usb_redir_configuration_status_header>> configurationStatus;
  std::vector<std::pair<uint64_t, usb_redir_alt_setting_status_header>> altStatus;
  std::vector<usb_redir_interrupt_receiving_status_header> interruptStatus;
  std::vector<usb_redir_bulk_packet_header> bulkAnswers;
  std::vector<std::string> parserLog;

 private:
  int fd_;
  usbredirparser *parser_ = nullptr;
  uint64_t nextId_ = 1;
  bool closed_ = false;
};

// A server and a peer on a socket pair, with a clock the test moves.
class RedirLink {
 public:
  explicit RedirLink(usb::Device &device, emu::RedirServer::Options options = {});
  ~RedirLink();

  // Rounds of server pump, peer read and peer write until nothing moves (at most 50).
  void Settle();
  // The server's turn only: the peer neither reads nor writes.
  emu::RedirServer::Status PumpServer() { return server->Pump(nowUs); }
  void Advance(uint64_t us) { nowUs += us; }
  // Closes the peer's end of the socket.
  void HangUp();

  uint64_t nowUs = 1000;
  std::vector<std::string> log;
  std::unique_ptr<emu::RedirServer> server;
  std::unique_ptr<RedirPeer> peer;

 private:
  int fds_[2] = {-1, -1};
};

}  // namespace emu_test
