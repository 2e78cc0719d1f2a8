// Composing the final state file.
#include "emu/server/Report.h"

#include <cstdio>

#include "emu/server/Descriptors.h"

namespace emu {

namespace {

std::string HexDigits(uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof(text), "%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

std::string SetupField(const usb::Setup &s) {
  return HexDigits(s.bmRequestType, 2) + "." + HexDigits(s.bRequest, 2) + "." +
         HexDigits(s.wValue, 4) + "." + HexDigits(s.wIndex, 4) + "." + HexDigits(s.wLength, 4);
}

}  // namespace

StateFile DescribeRun(const std::string &personaName, Persona &persona,
                      const RedirServer *server, const std::string &end, uint64_t runUs) {
  StateFile state;
  state.Add("persona", personaName);

  usb::Device &device = persona.Device();
  const std::optional<DeviceSummary> summary = SummarizeDevice(device.DeviceDescriptor());
  if (summary) {
    state.Add("device", "vid=" + Hex(summary->idVendor, 4) + " pid=" + Hex(summary->idProduct, 4) +
                            " bcd=" + Hex(summary->bcdDevice, 4) +
                            " connected=" + (device.Connected() ? "1" : "0") +
                            " generation=" + std::to_string(device.Generation()));
  } else {
    state.Add("device", "unreadable");
  }

  char seconds[32];
  std::snprintf(seconds, sizeof(seconds), "%.3f", static_cast<double>(runUs) / 1e6);
  const size_t served = server != nullptr ? server->Requests().size() : 0;
  const size_t notLogged = server != nullptr ? server->RequestsNotLogged() : 0;
  state.Add("run", "end=" + end + " seconds=" + seconds +
                       " requests=" + std::to_string(served + notLogged) +
                       " not-logged=" + std::to_string(notLogged));

  const LinkCounters counters = server != nullptr ? server->Counters() : LinkCounters{};
  state.Add("link", "hellos=" + std::to_string(counters.hellos) +
                        " connects=" + std::to_string(counters.connects) +
                        " disconnects=" + std::to_string(counters.disconnects) +
                        " disconnect-acks=" + std::to_string(counters.disconnectAcks) +
                        " resets=" + std::to_string(counters.resets) +
                        " parse-errors=" + std::to_string(counters.parseErrors) +
                        " cancelled=" + std::to_string(counters.cancelled) +
                        " expired=" + std::to_string(counters.expired) +
                        " refused=" + std::to_string(counters.refused) +
                        " unsupported=" + std::to_string(counters.unsupported));
  if (server != nullptr && !server->Failure().empty()) {
    state.Add("failure", "text=" + server->Failure());
  }

  persona.DescribeState(state);

  if (server != nullptr) {
    for (const LinkEvent &event : server->Events()) {
      if (event.what == "failed") {
        continue;  // the failure record carries it
      }
      state.Add("event", "t_us=" + std::to_string(event.timeUs) + " what=" + event.what +
                             (event.detail.empty() ? "" : " " + event.detail));
    }
    size_t n = 0;
    for (const ServedRequest &request : server->Requests()) {
      state.Add("request", "n=" + std::to_string(n++) + " t_us=" + std::to_string(request.timeUs) +
                               " connection=" + std::to_string(request.connection) +
                               " via=" + request.via + " setup=" + SetupField(request.setup) +
                               " result=" + request.result + " out=" + HexBytes(request.dataOut) +
                               " in=" + HexBytes(request.dataIn));
    }
  }
  return state;
}

std::vector<usbcap::ControlTransfer> CaptureOf(const RedirServer &server, uint64_t originUs) {
  constexpr uint32_t kHighestAddress = 127;
  std::vector<usbcap::ControlTransfer> capture;
  capture.reserve(server.Requests().size());
  for (const ServedRequest &request : server.Requests()) {
    usbcap::ControlTransfer t;
    t.submittedUs = originUs + request.timeUs;
    t.completedUs = originUs + request.doneUs;
    t.address =
        static_cast<uint8_t>((request.connection + kHighestAddress - 1) % kHighestAddress + 1);
    t.setup = request.setup;
    t.dataOut = request.dataOut;
    t.dataIn = request.dataIn;
    if (request.result == "ack") {
      t.status = usbcap::kStatusOk;
    } else if (request.result == "stall") {
      t.status = usbcap::kStatusStall;
    } else if (request.result == "cancelled") {
      t.status = usbcap::kStatusCancelled;
    } else if (request.result == "expired") {
      t.status = usbcap::kStatusTimedOut;
    } else {
      t.status = usbcap::kStatusShutdown;
    }
    capture.push_back(std::move(t));
  }
  return capture;
}

}  // namespace emu
