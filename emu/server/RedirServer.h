// One usb::Device on a usbredir link, as the device side ("USB host" in usbredir's terms):
// the peer is QEMU's usb-redir device, which puts the device on the guest's USB bus.
//
// The link, in order:
//   - both sides send hello; ours announces ep_info_max_packet_size, 32bits_bulk_length,
//     64bits_ids, connect_device_version, bulk_streams and device_disconnect_ack (QEMU's
//     xHCI refuses a device whose link lacks the first three);
//   - after the peer's hello, and whenever the device is on the bus: interface_info,
//     ep_info, device_connect;
//   - control packets go to the device's Control(); the peer's set/get configuration and
//     alternate setting become the standard requests; a reset becomes PortReset();
//   - when the device leaves the bus (Connected() false) or comes back as another device
//     (Generation() changes), device_disconnect; after the peer's disconnect ack, a fresh
//     announcement when the device is on the bus again, so the guest enumerates it anew.
//
// A request the device answers with Outcome::Timeout is held unanswered, like a device
// that never completes the transfer: the guest's own timeout cancels it (the peer sends
// cancel_data_packet). A held request is answered with a timeout status after the hold
// limit, so nothing waits without bound.
//
// Single-threaded and non-blocking: the owner calls Pump() whenever the socket is
// readable or writable and at least every few milliseconds (the device's clock advances
// only in Pump).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "camera/UsbDevice.h"
#include "emu/server/Descriptors.h"

struct usbredirparser;
struct usb_redir_control_packet_header;

namespace emu {

// One request that reached the device, in arrival order.
struct ServedRequest {
  uint64_t timeUs = 0;
  // When the guest had its answer: timeUs, or later for a request held unanswered.
  uint64_t doneUs = 0;
  // Which announcement of the device it reached: 1 for the first device_connect, 2 for
  // the device announced after the first disconnect, and so on.
  uint32_t connection = 0;
  // How it arrived: "control", or the usbredir packet that stood for a standard request
  // ("set-configuration", "get-configuration", "set-interface", "get-interface").
  std::string via;
  usb::Setup setup;
  std::vector<uint8_t> dataOut;
  // "ack", "stall", or for a request the device did not answer: "held" while waiting,
  // "cancelled" when the guest gave up on it, "expired" after the hold limit.
  std::string result;
  std::vector<uint8_t> dataIn;  // as delivered to the guest: at most wLength bytes
};

struct LinkEvent {
  uint64_t timeUs = 0;
  std::string what;  // "hello", "connect", "disconnect", "disconnect-ack", "reset", ...
  std::string detail;
};

struct LinkCounters {
  uint32_t hellos = 0;
  uint32_t connects = 0;
  uint32_t disconnects = 0;
  uint32_t disconnectAcks = 0;
  uint32_t resets = 0;
  uint32_t parseErrors = 0;
  uint32_t cancelled = 0;
  uint32_t expired = 0;
  uint32_t refused = 0;      // requests that arrived while the device was off the bus
  uint32_t unsupported = 0;  // bulk, interrupt and isochronous traffic (the device has none)
};

class RedirServer {
 public:
  struct Options {
    // A request the device does not answer is answered with a timeout status after this.
    uint64_t holdLimitUs = 30'000'000;
    // How long to wait for the peer's disconnect ack before announcing the device again.
    uint64_t disconnectAckLimitUs = 2'000'000;
    // Requests kept in the log; later ones are counted only.
    size_t requestLogLimit = 200'000;
    // Parse errors tolerated before the link is given up.
    uint32_t parseErrorLimit = 16;
    // Receives one line per link event and per warning; with logRequests, one per request.
    std::function<void(const std::string &)> log;
    bool logRequests = false;
  };

  enum class Status { Running, PeerClosed, Failed };

  // fd: a connected, non-blocking stream socket; the caller keeps it open while the
  // server lives and closes it afterwards.
  RedirServer(usb::Device &device, int fd, Options options);
  ~RedirServer();
  RedirServer(const RedirServer &) = delete;
  RedirServer &operator=(const RedirServer &) = delete;

  // Advances the device to nowUs, reads and handles everything the peer sent, follows the
  // device on and off the bus, answers expired held requests, and writes what is queued.
  Status Pump(uint64_t nowUs);
  // True while queued output waits for the socket.
  bool WantsWrite() const;

  Status CurrentStatus() const { return status_; }
  const std::string &Failure() const { return failure_; }
  // True while the peer has been told the device is on the bus.
  bool Announced() const { return link_ == Link::Connected; }
  const std::vector<ServedRequest> &Requests() const { return requests_; }
  size_t RequestsNotLogged() const { return requestsNotLogged_; }
  const std::vector<LinkEvent> &Events() const { return events_; }
  const LinkCounters &Counters() const { return counters_; }

 private:
  enum class Link { AwaitHello, Disconnected, Connected, AwaitDisconnectAck };

  // usbredirparser callbacks (the C trampolines live in RedirCallbacks.cpp).
  friend struct RedirCallbacks;
  // Points the parser's callbacks, and its priv, at this server.
  void ConnectCallbacks();
  int Read(uint8_t *data, int count);
  int Write(uint8_t *data, int count);
  void OnHello();
  void OnReset();
  void OnDisconnectAck();
  void OnControl(uint64_t id, const usb_redir_control_packet_header &header,
                 const uint8_t *data, int length);
  void OnSetConfiguration(uint64_t id, uint8_t value);
  void OnGetConfiguration(uint64_t id);
  void OnSetAlternate(uint64_t id, uint8_t interface, uint8_t alternate);
  void OnGetAlternate(uint64_t id, uint8_t interface);
  void OnCancel(uint64_t id);
  void OnStartInterruptReceiving(uint64_t id, uint8_t endpoint);
  void OnUnsupported(const std::string &what);
  void ParserLog(int level, const char *message);

  void Sync();
  void Announce();
  void Withdraw();
  void SendInterfaceInfo();
  void SendEpInfo();
  void ExpireHeld();
  // Hands one request to the device and logs it; returns the log index or npos.
  size_t Serve(const std::string &via, const usb::Setup &setup,
               const std::vector<uint8_t> &dataOut, usb::Reply &reply);
  void Event(const std::string &what, const std::string &detail = {});
  void Fail(const std::string &why);
  void Note(const std::string &line);
  std::vector<InterfaceInfo> Current() const;

  struct Held {
    uint64_t deadlineUs;
    std::vector<uint8_t> header;  // usb_redir_control_packet_header as sent by the peer
    size_t logIndex;
  };

  usb::Device &device_;
  int fd_;
  Options options_;
  usbredirparser *parser_ = nullptr;
  Status status_ = Status::Running;
  std::string failure_;
  bool peerClosed_ = false;
  uint64_t nowUs_ = 0;

  Link link_ = Link::AwaitHello;
  bool ackSeen_ = false;
  uint64_t ackDeadlineUs_ = 0;
  uint32_t announcedGeneration_ = 0;
  bool refusedGenerationKnown_ = false;
  uint32_t refusedGeneration_ = 0;  // a generation whose descriptors could not be announced
  std::vector<InterfaceInfo> interfaces_;  // every setting of the announced configuration
  std::map<uint8_t, uint8_t> alternates_;
  uint8_t configuration_ = 0;
  std::map<uint64_t, Held> held_;

  std::vector<ServedRequest> requests_;
  size_t requestsNotLogged_ = 0;
  std::vector<LinkEvent> events_;
  LinkCounters counters_;
};

}  // namespace emu
