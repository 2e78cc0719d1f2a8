// The device side of a usbredir link over libusbredirparser.
#include "emu/server/RedirServer.h"

#include <sys/socket.h>
#include <usbredirparser.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "emu/server/StateFile.h"

namespace emu {

namespace {

constexpr size_t kNotLogged = static_cast<size_t>(-1);
constexpr unsigned kMaxInterfaces = 32;  // entries of interface_info
constexpr unsigned kEndpointSlots = 32;  // entries of ep_info

uint8_t RedirStatus(usb::Outcome outcome) {
  switch (outcome) {
    case usb::Outcome::Ack:
      return usb_redir_success;
    case usb::Outcome::Stall:
      return usb_redir_stall;
    case usb::Outcome::Timeout:
      return usb_redir_timeout;
  }
  return usb_redir_ioerror;
}

const char *ResultName(usb::Outcome outcome) {
  switch (outcome) {
    case usb::Outcome::Ack:
      return "ack";
    case usb::Outcome::Stall:
      return "stall";
    case usb::Outcome::Timeout:
      return "held";
  }
  return "?";
}

std::string SetupText(const usb::Setup &s) {
  return Hex(s.bmRequestType, 2) + " " + Hex(s.bRequest, 2) + " " + Hex(s.wValue, 4) + " " +
         Hex(s.wIndex, 4) + " " + Hex(s.wLength, 4);
}

}  // namespace

RedirServer::RedirServer(usb::Device &device, int fd, Options options)
    : device_(device), fd_(fd), options_(std::move(options)) {
  parser_ = usbredirparser_create();
  if (parser_ == nullptr) {
    Fail("usbredirparser_create failed");
    return;
  }
  ConnectCallbacks();

  uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
  usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_device_disconnect_ack);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_bulk_streams);
  usbredirparser_init(parser_, "kvr-camera-server", caps, USB_REDIR_CAPS_SIZE,
                      usbredirparser_fl_usb_host);
}

RedirServer::~RedirServer() {
  if (parser_ != nullptr) {
    usbredirparser_destroy(parser_);
  }
}

RedirServer::Status RedirServer::Pump(uint64_t nowUs) {
  if (status_ != Status::Running) {
    return status_;
  }
  nowUs_ = nowUs;
  try {
    device_.Advance(nowUs);
  } catch (const std::exception &e) {
    Fail(std::string("the device model threw: ") + e.what());
    return status_;
  }

  const int read = usbredirparser_do_read(parser_);
  if (read == usbredirparser_read_parse_error) {
    counters_.parseErrors++;
    Note("usbredir: a packet from the peer could not be parsed");
    if (counters_.parseErrors > options_.parseErrorLimit) {
      Fail("too many packets from the peer could not be parsed");
    }
  } else if (read == usbredirparser_read_io_error && !peerClosed_ && status_ == Status::Running) {
    Fail(std::string("reading the socket failed: ") + std::strerror(errno));
  }
  if (status_ == Status::Running) {
    try {
      Sync();
    } catch (const std::exception &e) {
      Fail(std::string("the device model threw: ") + e.what());
    }
    ExpireHeld();
  }
  if (status_ != Status::Failed && usbredirparser_has_data_to_write(parser_) > 0 &&
      usbredirparser_do_write(parser_) == usbredirparser_write_io_error && !peerClosed_) {
    Fail(std::string("writing the socket failed: ") + std::strerror(errno));
  }
  if (peerClosed_ && status_ == Status::Running) {
    status_ = Status::PeerClosed;
    Event("hangup");
  }
  return status_;
}

bool RedirServer::WantsWrite() const {
  return parser_ != nullptr && status_ == Status::Running &&
         usbredirparser_has_data_to_write(parser_) > 0;
}

// ---------------------------------------------------------------- socket

int RedirServer::Read(uint8_t *data, int count) {
  if (peerClosed_ || status_ != Status::Running) {
    return -1;
  }
  const ssize_t got = recv(fd_, data, static_cast<size_t>(count), 0);
  if (got > 0) {
    return static_cast<int>(got);
  }
  if (got == 0) {
    peerClosed_ = true;
    return -1;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
    return 0;
  }
  if (errno == ECONNRESET) {
    peerClosed_ = true;
  }
  return -1;
}

int RedirServer::Write(uint8_t *data, int count) {
  if (peerClosed_) {
    return -1;
  }
  const ssize_t sent = send(fd_, data, static_cast<size_t>(count), MSG_NOSIGNAL);
  if (sent >= 0) {
    return static_cast<int>(sent);
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
    return 0;
  }
  if (errno == EPIPE || errno == ECONNRESET) {
    peerClosed_ = true;
  }
  return -1;
}

// ---------------------------------------------------------------- link

void RedirServer::OnHello() {
  counters_.hellos++;
  if (link_ != Link::AwaitHello) {
    Note("usbredir: a second hello from the peer is ignored");
    return;
  }
  std::string missing;
  for (const auto &[cap, name] : {std::pair{usb_redir_cap_ep_info_max_packet_size,
                                            "ep_info_max_packet_size"},
                                  std::pair{usb_redir_cap_64bits_ids, "64bits_ids"},
                                  std::pair{usb_redir_cap_32bits_bulk_length,
                                            "32bits_bulk_length"}}) {
    if (!usbredirparser_peer_has_cap(parser_, cap)) {
      missing += std::string(missing.empty() ? "" : ",") + name;
    }
  }
  Event("hello", missing.empty() ? "" : "peer-lacks=" + missing);
  link_ = Link::Disconnected;
}

void RedirServer::OnDisconnectAck() {
  counters_.disconnectAcks++;
  Event("disconnect-ack");
  ackSeen_ = true;
}

void RedirServer::OnReset() {
  counters_.resets++;
  Event("reset");
  device_.PortReset();
  configuration_ = 0;
  alternates_.clear();
}

// Moves the link towards the device's state: at most one withdrawal and one announcement
// per call.
void RedirServer::Sync() {
  for (int step = 0; step < 3; step++) {
    switch (link_) {
      case Link::AwaitHello:
        return;
      case Link::Connected:
        if (device_.Connected() && device_.Generation() == announcedGeneration_) {
          return;
        }
        Withdraw();
        break;
      case Link::AwaitDisconnectAck:
        if (!ackSeen_ && nowUs_ < ackDeadlineUs_) {
          return;
        }
        if (!ackSeen_) {
          Note("usbredir: no disconnect ack from the peer; announcing the device anyway");
        }
        link_ = Link::Disconnected;
        break;
      case Link::Disconnected:
        if (!device_.Connected() ||
            (refusedGenerationKnown_ && refusedGeneration_ == device_.Generation())) {
          return;
        }
        Announce();
        if (link_ != Link::Connected) {
          return;
        }
        break;
    }
  }
}

void RedirServer::Announce() {
  const std::optional<DeviceSummary> summary = SummarizeDevice(device_.DeviceDescriptor());
  if (!summary) {
    refusedGenerationKnown_ = true;
    refusedGeneration_ = device_.Generation();
    Note("the device's descriptor is not an 18-byte device descriptor; it stays off the bus");
    return;
  }
  std::vector<std::string> notes;
  interfaces_ = WalkConfiguration(device_.ConfigurationDescriptor(), &notes);
  for (const std::string &note : notes) {
    Note("configuration descriptor: " + note);
  }
  alternates_.clear();
  configuration_ = 0;
  held_.clear();
  SendInterfaceInfo();
  SendEpInfo();

  usb_redir_device_connect_header connect{};
  connect.speed = usb_redir_speed_high;
  connect.device_class = summary->deviceClass;
  connect.device_subclass = summary->deviceSubClass;
  connect.device_protocol = summary->deviceProtocol;
  connect.vendor_id = summary->idVendor;
  connect.product_id = summary->idProduct;
  connect.device_version_bcd = summary->bcdDevice;
  usbredirparser_send_device_connect(parser_, &connect);

  counters_.connects++;
  announcedGeneration_ = device_.Generation();
  link_ = Link::Connected;
  Event("connect", "vid=" + Hex(summary->idVendor, 4) + " pid=" + Hex(summary->idProduct, 4) +
                       " bcd=" + Hex(summary->bcdDevice, 4) +
                       " generation=" + std::to_string(announcedGeneration_) +
                       " interfaces=" + std::to_string(Current().size()));
}

void RedirServer::Withdraw() {
  usbredirparser_send_device_disconnect(parser_);
  counters_.disconnects++;
  Event("disconnect", device_.Connected() ? "reason=new-generation" : "reason=left-bus");
  held_.clear();  // the peer forgets the device's transfers with the device
  alternates_.clear();
  configuration_ = 0;
  if (usbredirparser_peer_has_cap(parser_, usb_redir_cap_device_disconnect_ack)) {
    ackSeen_ = false;
    ackDeadlineUs_ = nowUs_ + options_.disconnectAckLimitUs;
    link_ = Link::AwaitDisconnectAck;
  } else {
    link_ = Link::Disconnected;
  }
}

std::vector<InterfaceInfo> RedirServer::Current() const {
  std::vector<InterfaceInfo> current = CurrentInterfaces(interfaces_, alternates_);
  if (current.size() > kMaxInterfaces) {
    current.resize(kMaxInterfaces);
  }
  return current;
}

void RedirServer::SendInterfaceInfo() {
  const std::vector<InterfaceInfo> current = Current();
  usb_redir_interface_info_header info{};
  info.interface_count = static_cast<uint32_t>(current.size());
  for (size_t i = 0; i < current.size(); i++) {
    info.interface[i] = current[i].number;
    info.interface_class[i] = current[i].interfaceClass;
    info.interface_subclass[i] = current[i].subClass;
    info.interface_protocol[i] = current[i].protocol;
  }
  usbredirparser_send_interface_info(parser_, &info);
}

void RedirServer::SendEpInfo() {
  usb_redir_ep_info_header info{};
  for (unsigned i = 0; i < kEndpointSlots; i++) {
    info.type[i] = usb_redir_type_invalid;
  }
  const std::optional<DeviceSummary> summary = SummarizeDevice(device_.DeviceDescriptor());
  const uint16_t maxPacket0 = summary ? summary->maxPacketSize0 : 64;
  for (const unsigned control : {0u, 16u}) {
    info.type[control] = usb_redir_type_control;
    info.max_packet_size[control] = maxPacket0;
  }
  for (const InterfaceInfo &interface : Current()) {
    for (const EndpointInfo &endpoint : interface.endpoints) {
      const unsigned index = EndpointIndex(endpoint.address);
      if (index == 0 || index == 16) {
        Note("configuration descriptor: an endpoint descriptor names endpoint 0; ignored");
        continue;
      }
      info.type[index] = endpoint.attributes & 0x03;
      info.interval[index] = endpoint.interval;
      info.interface[index] = interface.number;
      info.max_packet_size[index] = endpoint.maxPacketSize;
    }
  }
  usbredirparser_send_ep_info(parser_, &info);
}

// ---------------------------------------------------------------- requests

size_t RedirServer::Serve(const std::string &via, const usb::Setup &setup,
                          const std::vector<uint8_t> &dataOut, usb::Reply &reply) {
  reply = device_.Control(setup, dataOut);
  if ((setup.bmRequestType & usb::kDirectionIn) == 0 || reply.outcome != usb::Outcome::Ack) {
    reply.data.clear();
  } else if (reply.data.size() > setup.wLength) {
    reply.data.resize(setup.wLength);  // never more than the host asked for
  }
  if (options_.logRequests) {
    Note("request " + via + " " + SetupText(setup) + " out=" + HexBytes(dataOut) + " -> " +
         ResultName(reply.outcome) + " in=" + HexBytes(reply.data));
  }
  if (requests_.size() >= options_.requestLogLimit) {
    requestsNotLogged_++;
    return kNotLogged;
  }
  ServedRequest served;
  served.timeUs = nowUs_;
  served.doneUs = nowUs_;
  served.connection = counters_.connects;
  served.via = via;
  served.setup = setup;
  served.dataOut = dataOut;
  served.result = ResultName(reply.outcome);
  served.dataIn = reply.data;
  requests_.push_back(std::move(served));
  return requests_.size() - 1;
}

void RedirServer::OnControl(uint64_t id, const usb_redir_control_packet_header &header,
                            const uint8_t *data, int length) {
  usb_redir_control_packet_header answer = header;
  answer.length = 0;
  if (link_ != Link::Connected) {
    counters_.refused++;
    answer.status = usb_redir_ioerror;
    usbredirparser_send_control_packet(parser_, id, &answer, nullptr, 0);
    return;
  }
  const usb::Setup setup{header.requesttype, header.request, header.value, header.index,
                         header.length};
  const bool in = (header.requesttype & usb::kDirectionIn) != 0;
  std::vector<uint8_t> dataOut;
  if (!in && data != nullptr && length > 0) {
    dataOut.assign(data, data + length);
  }
  usb::Reply reply;
  const size_t index = Serve("control", setup, dataOut, reply);
  if (reply.outcome == usb::Outcome::Timeout) {
    Held held;
    held.deadlineUs = nowUs_ + options_.holdLimitUs;
    const auto *bytes = reinterpret_cast<const uint8_t *>(&header);
    held.header.assign(bytes, bytes + sizeof(header));
    held.logIndex = index;
    held_[id] = std::move(held);
    return;
  }
  answer.status = RedirStatus(reply.outcome);
  if (reply.outcome == usb::Outcome::Ack) {
    answer.length = static_cast<uint16_t>(in ? reply.data.size() : dataOut.size());
  }
  usbredirparser_send_control_packet(parser_, id, &answer,
                                     reply.data.empty() ? nullptr : reply.data.data(),
                                     static_cast<int>(reply.data.size()));
}

void RedirServer::OnCancel(uint64_t id) {
  const auto it = held_.find(id);
  if (it == held_.end()) {
    return;  // already answered; the peer drops the late answer
  }
  usb_redir_control_packet_header answer;
  std::memcpy(&answer, it->second.header.data(), sizeof(answer));
  answer.status = usb_redir_cancelled;
  answer.length = 0;
  usbredirparser_send_control_packet(parser_, id, &answer, nullptr, 0);
  if (it->second.logIndex != kNotLogged) {
    requests_[it->second.logIndex].result = "cancelled";
    requests_[it->second.logIndex].doneUs = nowUs_;
  }
  counters_.cancelled++;
  held_.erase(it);
}

void RedirServer::ExpireHeld() {
  for (auto it = held_.begin(); it != held_.end();) {
    if (it->second.deadlineUs > nowUs_) {
      ++it;
      continue;
    }
    usb_redir_control_packet_header answer;
    std::memcpy(&answer, it->second.header.data(), sizeof(answer));
    answer.status = usb_redir_timeout;
    answer.length = 0;
    usbredirparser_send_control_packet(parser_, it->first, &answer, nullptr, 0);
    if (it->second.logIndex != kNotLogged) {
      requests_[it->second.logIndex].result = "expired";
      requests_[it->second.logIndex].doneUs = nowUs_;
    }
    counters_.expired++;
    Note("a request the device did not answer expired after the hold limit");
    it = held_.erase(it);
  }
}

void RedirServer::OnSetConfiguration(uint64_t id, uint8_t value) {
  usb_redir_configuration_status_header status{};
  if (link_ != Link::Connected) {
    counters_.refused++;
    status.status = usb_redir_ioerror;
    status.configuration = configuration_;
    usbredirparser_send_configuration_status(parser_, id, &status);
    return;
  }
  usb::Reply reply;
  Serve("set-configuration", usb::Setup{0x00, usb::kSetConfiguration, value, 0, 0}, {}, reply);
  status.status = RedirStatus(reply.outcome);
  if (reply.outcome == usb::Outcome::Ack) {
    configuration_ = value;
    alternates_.clear();
    // As a device side does after claiming the new configuration's interfaces.
    SendInterfaceInfo();
    SendEpInfo();
  }
  status.configuration = configuration_;
  usbredirparser_send_configuration_status(parser_, id, &status);
}

void RedirServer::OnGetConfiguration(uint64_t id) {
  usb_redir_configuration_status_header status{};
  status.configuration = configuration_;
  if (link_ != Link::Connected) {
    counters_.refused++;
    status.status = usb_redir_ioerror;
  } else {
    usb::Reply reply;
    Serve("get-configuration", usb::Setup{0x80, usb::kGetConfiguration, 0, 0, 1}, {}, reply);
    status.status = RedirStatus(reply.outcome);
    if (reply.outcome == usb::Outcome::Ack) {
      if (reply.data.empty()) {
        status.status = usb_redir_ioerror;
      } else {
        status.configuration = reply.data[0];
      }
    }
  }
  usbredirparser_send_configuration_status(parser_, id, &status);
}

void RedirServer::OnSetAlternate(uint64_t id, uint8_t interface, uint8_t alternate) {
  usb_redir_alt_setting_status_header status{};
  status.interface = interface;
  const auto current = alternates_.find(interface);
  status.alt = current == alternates_.end() ? 0 : current->second;
  if (link_ != Link::Connected) {
    counters_.refused++;
    status.status = usb_redir_ioerror;
    usbredirparser_send_alt_setting_status(parser_, id, &status);
    return;
  }
  usb::Reply reply;
  Serve("set-interface",
        usb::Setup{usb::kRecipientInterface, usb::kSetInterface, alternate, interface, 0}, {},
        reply);
  status.status = RedirStatus(reply.outcome);
  if (reply.outcome == usb::Outcome::Ack) {
    alternates_[interface] = alternate;
    status.alt = alternate;
    SendInterfaceInfo();
    SendEpInfo();
  }
  usbredirparser_send_alt_setting_status(parser_, id, &status);
}

void RedirServer::OnGetAlternate(uint64_t id, uint8_t interface) {
  usb_redir_alt_setting_status_header status{};
  status.interface = interface;
  status.alt = 0xFF;
  if (link_ != Link::Connected) {
    counters_.refused++;
    status.status = usb_redir_ioerror;
  } else {
    usb::Reply reply;
    Serve("get-interface",
          usb::Setup{usb::kDirectionIn | usb::kRecipientInterface, usb::kGetInterface, 0,
                     interface, 1},
          {}, reply);
    status.status = RedirStatus(reply.outcome);
    if (reply.outcome == usb::Outcome::Ack) {
      if (reply.data.empty()) {
        status.status = usb_redir_ioerror;
      } else {
        status.alt = reply.data[0];
      }
    }
  }
  usbredirparser_send_alt_setting_status(parser_, id, &status);
}

void RedirServer::OnStartInterruptReceiving(uint64_t id, uint8_t endpoint) {
  bool known = false;
  for (const InterfaceInfo &interface : Current()) {
    for (const EndpointInfo &e : interface.endpoints) {
      known = known || (e.address == endpoint && (e.attributes & 0x03) == 0x03);
    }
  }
  usb_redir_interrupt_receiving_status_header status{};
  status.endpoint = endpoint;
  // The endpoint exists but never has data: the device NAKs every poll.
  status.status = link_ == Link::Connected && known ? usb_redir_success : usb_redir_inval;
  usbredirparser_send_interrupt_receiving_status(parser_, id, &status);
}

void RedirServer::OnUnsupported(const std::string &what) {
  counters_.unsupported++;
  if (counters_.unsupported <= 8) {
    Note("usbredir: " + what + " refused: the device carries control transfers only");
  }
}

// ---------------------------------------------------------------- bookkeeping

void RedirServer::ParserLog(int level, const char *message) {
  if (level <= usbredirparser_warning) {
    Note(std::string("usbredirparser: ") + message);
  }
}

void RedirServer::Event(const std::string &what, const std::string &detail) {
  events_.push_back(LinkEvent{nowUs_, what, detail});
  Note("link " + what + (detail.empty() ? "" : " " + detail));
}

void RedirServer::Fail(const std::string &why) {
  if (status_ == Status::Failed) {
    return;
  }
  status_ = Status::Failed;
  failure_ = why;
  Event("failed", why);
}

void RedirServer::Note(const std::string &line) {
  if (options_.log) {
    char stamp[32];
    std::snprintf(stamp, sizeof(stamp), "%8.3f ", static_cast<double>(nowUs_) / 1e6);
    options_.log(stamp + line);
  }
}

}  // namespace emu
