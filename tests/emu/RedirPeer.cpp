// The test peer of the usbredir link.
#include "RedirPeer.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace emu_test {

namespace {

RedirPeer &Self(void *priv) { return *static_cast<RedirPeer *>(priv); }

void SetNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  ASSERT_GE(flags, 0);
  ASSERT_EQ(fcntl(fd, F_SETFL, flags | O_NONBLOCK), 0);
}

}  // namespace

RedirPeer::RedirPeer(int fd) : fd_(fd) {
  parser_ = usbredirparser_create();
  parser_->priv = this;
  parser_->log_func = [](void *priv, int level, const char *message) {
    if (level <= usbredirparser_warning) {
      Self(priv).parserLog.push_back(message);
    }
  };
  parser_->read_func = [](void *priv, uint8_t *data, int count) -> int {
    RedirPeer &peer = Self(priv);
    const ssize_t got = recv(peer.fd_, data, static_cast<size_t>(count), 0);
    if (got > 0) {
      return static_cast<int>(got);
    }
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return 0;
    }
    peer.closed_ = true;
    return -1;
  };
  parser_->write_func = [](void *priv, uint8_t *data, int count) -> int {
    const ssize_t sent = send(Self(priv).fd_, data, static_cast<size_t>(count), MSG_NOSIGNAL);
    if (sent >= 0) {
      return static_cast<int>(sent);
    }
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  };
  parser_->hello_func = [](void *priv, usb_redir_hello_header *) {
    Self(priv).hellos++;
    Self(priv).sequence.push_back("hello");
  };
  parser_->device_connect_func = [](void *priv, usb_redir_device_connect_header *h) {
    Self(priv).connects.push_back(*h);
    Self(priv).sequence.push_back("device_connect");
  };
  parser_->device_disconnect_func = [](void *priv) {
    Self(priv).disconnects++;
    Self(priv).sequence.push_back("device_disconnect");
  };
  parser_->interface_info_func = [](void *priv, usb_redir_interface_info_header *h) {
    Self(priv).interfaceInfos.push_back(*h);
    Self(priv).sequence.push_back("interface_info");
  };
  parser_->ep_info_func = [](void *priv, usb_redir_ep_info_header *h) {
    Self(priv).epInfos.push_back(*h);
    Self(priv).sequence.push_back("ep_info");
  };
  parser_->configuration_status_func = [](void *priv, uint64_t id,
                                          usb_redir_configuration_status_header *h) {
    Self(priv).configurationStatus.emplace_back(id, *h);
    Self(priv).sequence.push_back("configuration_status");
  };
  parser_->alt_setting_status_func = [](void *priv, uint64_t id,
                                        usb_redir_alt_setting_status_header *h) {
    Self(priv).altStatus.emplace_back(id, *h);
    Self(priv).sequence.push_back("alt_setting_status");
  };
  parser_->interrupt_receiving_status_func =
      [](void *priv, uint64_t, usb_redir_interrupt_receiving_status_header *h) {
        Self(priv).interruptStatus.push_back(*h);
        Self(priv).sequence.push_back("interrupt_receiving_status");
      };
  parser_->control_packet_func = [](void *priv, uint64_t id,
                                    usb_redir_control_packet_header *h, uint8_t *data,
                                    int length) {
    ControlAnswer answer{id, *h, {}};
    if (data != nullptr) {
      answer.data.assign(data, data + length);
      usbredirparser_free_packet_data(Self(priv).parser_, data);
    }
    Self(priv).answers[id] = answer;
    Self(priv).sequence.push_back("control");
  };
  parser_->bulk_packet_func = [](void *priv, uint64_t, usb_redir_bulk_packet_header *h,
                                 uint8_t *data, int) {
    Self(priv).bulkAnswers.push_back(*h);
    if (data != nullptr) {
      usbredirparser_free_packet_data(Self(priv).parser_, data);
    }
    Self(priv).sequence.push_back("bulk");
  };

  uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
  usbredirparser_caps_set_cap(caps, usb_redir_cap_connect_device_version);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_ep_info_max_packet_size);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_64bits_ids);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_32bits_bulk_length);
  usbredirparser_caps_set_cap(caps, usb_redir_cap_device_disconnect_ack);
  usbredirparser_init(parser_, "test peer", caps, USB_REDIR_CAPS_SIZE, 0);
}

RedirPeer::~RedirPeer() { usbredirparser_destroy(parser_); }

bool RedirPeer::Read() {
  if (closed_) {
    return false;
  }
  return usbredirparser_do_read(parser_) == 0 && !closed_;
}

void RedirPeer::Flush() {
  if (usbredirparser_has_data_to_write(parser_) > 0) {
    usbredirparser_do_write(parser_);
  }
}

uint64_t RedirPeer::SendControl(uint8_t requestType, uint8_t request, uint16_t value,
                                uint16_t index, uint16_t length,
                                const std::vector<uint8_t> &dataOut) {
  usb_redir_control_packet_header header{};
  header.endpoint = requestType & 0x80;
  header.requesttype = requestType;
  header.request = request;
  header.value = value;
  header.index = index;
  header.length = length;
  const uint64_t id = nextId_++;
  std::vector<uint8_t> data = dataOut;
  usbredirparser_send_control_packet(parser_, id, &header, data.empty() ? nullptr : data.data(),
                                     static_cast<int>(data.size()));
  return id;
}

RedirLink::RedirLink(usb::Device &device, emu::RedirServer::Options options) {
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0);
  SetNonBlocking(fds_[0]);
  SetNonBlocking(fds_[1]);
  options.log = [this](const std::string &line) { log.push_back(line); };
  server = std::make_unique<emu::RedirServer>(device, fds_[0], options);
  peer = std::make_unique<RedirPeer>(fds_[1]);
}

RedirLink::~RedirLink() {
  server.reset();
  peer.reset();
  for (const int fd : fds_) {
    if (fd >= 0) {
      close(fd);
    }
  }
}

void RedirLink::Settle() {
  for (int round = 0; round < 50; round++) {
    const size_t before = peer->sequence.size() + log.size();
    server->Pump(nowUs);
    peer->Read();
    peer->Flush();
    server->Pump(nowUs);
    peer->Read();
    if (peer->sequence.size() + log.size() == before && !server->WantsWrite() &&
        usbredirparser_has_data_to_write(peer->Parser()) == 0) {
      return;
    }
  }
  ADD_FAILURE() << "the link did not settle in 50 rounds";
}

void RedirLink::HangUp() {
  peer.reset();
  close(fds_[1]);
  fds_[1] = -1;
}

}  // namespace emu_test
