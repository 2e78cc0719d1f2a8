// The C side of RedirServer's link: the callbacks usbredirparser calls, and their
// installation on the server's parser.
#include <usbredirparser.h>

#include <cstdlib>
#include <exception>
#include <string>

#include "emu/server/RedirServer.h"

namespace emu {

// C callbacks of the parser, each forwarding to the server held in priv. An exception
// must not cross the C library: it ends the link instead.
struct RedirCallbacks {
  static RedirServer &Self(void *priv) { return *static_cast<RedirServer *>(priv); }

  template <typename Body>
  static void Guard(void *priv, Body body) {
    try {
      body(Self(priv));
    } catch (const std::exception &e) {
      Self(priv).Fail(std::string("the device model threw: ") + e.what());
    }
  }

  static void Log(void *priv, int level, const char *message) {
    Self(priv).ParserLog(level, message);
  }
  static int Read(void *priv, uint8_t *data, int count) { return Self(priv).Read(data, count); }
  static int Write(void *priv, uint8_t *data, int count) {
    return Self(priv).Write(data, count);
  }
  static void Hello(void *priv, usb_redir_hello_header *) {
    Guard(priv, [](RedirServer &s) { s.OnHello(); });
  }
  static void Reset(void *priv) {
    Guard(priv, [](RedirServer &s) { s.OnReset(); });
  }
  static void DisconnectAck(void *priv) {
    Guard(priv, [](RedirServer &s) { s.OnDisconnectAck(); });
  }
  static void Control(void *priv, uint64_t id, usb_redir_control_packet_header *header,
                      uint8_t *data, int length) {
    Guard(priv, [&](RedirServer &s) { s.OnControl(id, *header, data, length); });
    if (data != nullptr) {
      usbredirparser_free_packet_data(Self(priv).parser_, data);
    }
  }
  static void SetConfiguration(void *priv, uint64_t id,
                               usb_redir_set_configuration_header *header) {
    Guard(priv, [&](RedirServer &s) { s.OnSetConfiguration(id, header->configuration); });
  }
  static void GetConfiguration(void *priv, uint64_t id) {
    Guard(priv, [&](RedirServer &s) { s.OnGetConfiguration(id); });
  }
  static void SetAltSetting(void *priv, uint64_t id, usb_redir_set_alt_setting_header *header) {
    Guard(priv, [&](RedirServer &s) { s.OnSetAlternate(id, header->interface, header->alt); });
  }
  static void GetAltSetting(void *priv, uint64_t id, usb_redir_get_alt_setting_header *header) {
    Guard(priv, [&](RedirServer &s) { s.OnGetAlternate(id, header->interface); });
  }
  static void Cancel(void *priv, uint64_t id) {
    Guard(priv, [&](RedirServer &s) { s.OnCancel(id); });
  }
  static void StartInterruptReceiving(void *priv, uint64_t id,
                                      usb_redir_start_interrupt_receiving_header *header) {
    Guard(priv, [&](RedirServer &s) { s.OnStartInterruptReceiving(id, header->endpoint); });
  }
  static void StopInterruptReceiving(void *priv, uint64_t id,
                                     usb_redir_stop_interrupt_receiving_header *header) {
    usb_redir_interrupt_receiving_status_header status{};
    status.status = usb_redir_success;
    status.endpoint = header->endpoint;
    usbredirparser_send_interrupt_receiving_status(Self(priv).parser_, id, &status);
  }
  static void StartIsoStream(void *priv, uint64_t id, usb_redir_start_iso_stream_header *header) {
    usb_redir_iso_stream_status_header status{};
    status.status = usb_redir_inval;
    status.endpoint = header->endpoint;
    usbredirparser_send_iso_stream_status(Self(priv).parser_, id, &status);
    Self(priv).OnUnsupported("start_iso_stream");
  }
  static void StopIsoStream(void *priv, uint64_t id, usb_redir_stop_iso_stream_header *header) {
    usb_redir_iso_stream_status_header status{};
    status.status = usb_redir_success;
    status.endpoint = header->endpoint;
    usbredirparser_send_iso_stream_status(Self(priv).parser_, id, &status);
  }
  static void AllocBulkStreams(void *priv, uint64_t id,
                               usb_redir_alloc_bulk_streams_header *header) {
    usb_redir_bulk_streams_status_header status{};
    status.endpoints = header->endpoints;
    status.no_streams = header->no_streams;
    status.status = usb_redir_inval;
    usbredirparser_send_bulk_streams_status(Self(priv).parser_, id, &status);
    Self(priv).OnUnsupported("alloc_bulk_streams");
  }
  static void FreeBulkStreams(void *priv, uint64_t id,
                              usb_redir_free_bulk_streams_header *header) {
    usb_redir_bulk_streams_status_header status{};
    status.endpoints = header->endpoints;
    status.status = usb_redir_success;
    usbredirparser_send_bulk_streams_status(Self(priv).parser_, id, &status);
  }
  static void StartBulkReceiving(void *priv, uint64_t id,
                                 usb_redir_start_bulk_receiving_header *header) {
    usb_redir_bulk_receiving_status_header status{};
    status.stream_id = header->stream_id;
    status.endpoint = header->endpoint;
    status.status = usb_redir_inval;
    usbredirparser_send_bulk_receiving_status(Self(priv).parser_, id, &status);
    Self(priv).OnUnsupported("start_bulk_receiving");
  }
  static void StopBulkReceiving(void *priv, uint64_t id,
                                usb_redir_stop_bulk_receiving_header *header) {
    usb_redir_bulk_receiving_status_header status{};
    status.stream_id = header->stream_id;
    status.endpoint = header->endpoint;
    status.status = usb_redir_success;
    usbredirparser_send_bulk_receiving_status(Self(priv).parser_, id, &status);
  }
  // The device has no bulk, interrupt OUT or isochronous endpoint behind the link: bulk
  // and interrupt transfers stall, isochronous data is dropped.
  static void Bulk(void *priv, uint64_t id, usb_redir_bulk_packet_header *header,
                   uint8_t *data, int) {
    usb_redir_bulk_packet_header answer = *header;
    answer.status = usb_redir_stall;
    answer.length = 0;
    answer.length_high = 0;
    usbredirparser_send_bulk_packet(Self(priv).parser_, id, &answer, nullptr, 0);
    if (data != nullptr) {
      usbredirparser_free_packet_data(Self(priv).parser_, data);
    }
    Self(priv).OnUnsupported("bulk_packet");
  }
  static void Interrupt(void *priv, uint64_t id, usb_redir_interrupt_packet_header *header,
                        uint8_t *data, int) {
    usb_redir_interrupt_packet_header answer = *header;
    answer.status = usb_redir_stall;
    answer.length = 0;
    usbredirparser_send_interrupt_packet(Self(priv).parser_, id, &answer, nullptr, 0);
    if (data != nullptr) {
      usbredirparser_free_packet_data(Self(priv).parser_, data);
    }
    Self(priv).OnUnsupported("interrupt_packet");
  }
  static void Iso(void *priv, uint64_t, usb_redir_iso_packet_header *, uint8_t *data, int) {
    if (data != nullptr) {
      usbredirparser_free_packet_data(Self(priv).parser_, data);
    }
    Self(priv).OnUnsupported("iso_packet");
  }
  static void FilterReject(void *) {}
  static void FilterFilter(void *, usbredirfilter_rule *rules, int) { std::free(rules); }
};

void RedirServer::ConnectCallbacks() {
  parser_->priv = this;
  parser_->log_func = RedirCallbacks::Log;
  parser_->read_func = RedirCallbacks::Read;
  parser_->write_func = RedirCallbacks::Write;
  parser_->hello_func = RedirCallbacks::Hello;
  parser_->reset_func = RedirCallbacks::Reset;
  parser_->device_disconnect_ack_func = RedirCallbacks::DisconnectAck;
  parser_->control_packet_func = RedirCallbacks::Control;
  parser_->set_configuration_func = RedirCallbacks::SetConfiguration;
  parser_->get_configuration_func = RedirCallbacks::GetConfiguration;
  parser_->set_alt_setting_func = RedirCallbacks::SetAltSetting;
  parser_->get_alt_setting_func = RedirCallbacks::GetAltSetting;
  parser_->cancel_data_packet_func = RedirCallbacks::Cancel;
  parser_->start_interrupt_receiving_func = RedirCallbacks::StartInterruptReceiving;
  parser_->stop_interrupt_receiving_func = RedirCallbacks::StopInterruptReceiving;
  parser_->start_iso_stream_func = RedirCallbacks::StartIsoStream;
  parser_->stop_iso_stream_func = RedirCallbacks::StopIsoStream;
  parser_->alloc_bulk_streams_func = RedirCallbacks::AllocBulkStreams;
  parser_->free_bulk_streams_func = RedirCallbacks::FreeBulkStreams;
  parser_->start_bulk_receiving_func = RedirCallbacks::StartBulkReceiving;
  parser_->stop_bulk_receiving_func = RedirCallbacks::StopBulkReceiving;
  parser_->bulk_packet_func = RedirCallbacks::Bulk;
  parser_->interrupt_packet_func = RedirCallbacks::Interrupt;
  parser_->iso_packet_func = RedirCallbacks::Iso;
  parser_->filter_reject_func = RedirCallbacks::FilterReject;
  parser_->filter_filter_func = RedirCallbacks::FilterFilter;
}

}  // namespace emu
