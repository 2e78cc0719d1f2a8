// USB captures for Wireshark and tshark: control transfers written as a pcap file in the
// Linux usbmon format (LINKTYPE_USB_LINUX_MMAPPED, 220). Each transfer is two records, as
// Linux's usbmon shows an URB: a submission 'S' with the setup packet and the OUT data
// stage, and a completion 'C' with the status and the IN data stage. The one writer behind
// kvr-scenario --pcap (virtual time) and kvr-camera-server --pcap (wall time).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "camera/UsbDevice.h"

namespace usbcap {

// Completion statuses as Linux reports them (negative errno values).
constexpr int32_t kStatusOk = 0;
constexpr int32_t kStatusNoDevice = -19;     // ENODEV: the device had left the bus
constexpr int32_t kStatusInvalid = -22;      // EINVAL: refused before it reached the device
constexpr int32_t kStatusStall = -32;        // EPIPE: the device stalled the request
constexpr int32_t kStatusProtocol = -71;     // EPROTO: any other failure on the wire
constexpr int32_t kStatusCancelled = -104;   // ECONNRESET: the host gave up on it
constexpr int32_t kStatusShutdown = -108;    // ESHUTDOWN: the link closed before an answer
constexpr int32_t kStatusTimedOut = -110;    // ETIMEDOUT: the device never answered
constexpr int32_t kStatusShort = -121;       // EREMOTEIO: the answer was short, and that failed
constexpr int32_t kStatusSubmitted = -115;   // EINPROGRESS: every submission record

// The pcap link type of the Linux usbmon binary format with the 64-byte header.
constexpr uint32_t kLinkTypeUsbLinuxMmapped = 220;
constexpr size_t kUsbmonHeaderBytes = 64;

// One control transfer on endpoint 0.
struct ControlTransfer {
  uint64_t submittedUs = 0;  // from the capture's time origin (1970-01-01 in the file)
  uint64_t completedUs = 0;
  uint16_t bus = 1;
  uint8_t address = 1;             // the device's USB address, 1 to 127
  usb::Setup setup;                // the direction is bmRequestType's
  std::vector<uint8_t> dataOut;    // the OUT data stage as sent
  std::vector<uint8_t> dataIn;     // the IN data stage as delivered
  int32_t status = kStatusOk;      // the completion's status
};

// A pcap file being written. Open creates (or truncates) it and writes the file header;
// each Write adds one transfer's two records. A failure leaves Error() saying what and
// where; later calls do nothing and return false.
class CaptureFile {
 public:
  CaptureFile() = default;
  CaptureFile(const CaptureFile &) = delete;
  CaptureFile &operator=(const CaptureFile &) = delete;
  ~CaptureFile();

  bool Open(const std::string &path);
  bool Write(const ControlTransfer &transfer);
  // Flushes and closes; false when something was not written.
  bool Close();

  bool Good() const { return file_ != nullptr && error_.empty(); }
  const std::string &Error() const { return error_; }
  size_t Transfers() const { return transfers_; }

 private:
  bool Put(const std::vector<uint8_t> &bytes);
  void Fail(const std::string &what);

  std::FILE *file_ = nullptr;
  std::string path_;
  std::string error_;
  size_t transfers_ = 0;
};

}  // namespace usbcap
