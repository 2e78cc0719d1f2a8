#include "tools/UsbCapture.h"

#include <cerrno>
#include <cstring>

namespace usbcap {
namespace {

// pcap file header: microsecond timestamps, version 2.4.
constexpr uint32_t kPcapMagic = 0xA1B2C3D4;
constexpr uint16_t kPcapMajor = 2;
constexpr uint16_t kPcapMinor = 4;
constexpr uint32_t kSnapLength = 0x40000;

// usbmon header fields.
constexpr uint8_t kTransferControl = 2;
constexpr uint8_t kEndpointIn = 0x80;
constexpr uint8_t kSetupPresent = 0;
constexpr uint8_t kSetupAbsent = '-';
constexpr uint8_t kDataPresent = 0;
constexpr uint8_t kNoDataIn = '<';   // an IN submission carries no data
constexpr uint8_t kNoDataOut = '>';  // an OUT completion carries no data
constexpr uint32_t kUrbDirIn = 0x200;  // Linux's URB_DIR_IN transfer flag

// URB ids: a kernel-like address, one per transfer.
constexpr uint64_t kUrbIdBase = 0xFFFF888000000000ULL;
constexpr uint64_t kUrbIdStep = 0x100;

void Put16(std::vector<uint8_t> &b, uint16_t v) {
  b.push_back(v & 0xFF);
  b.push_back(v >> 8);
}
void Put32(std::vector<uint8_t> &b, uint32_t v) {
  for (int i = 0; i < 4; i++) b.push_back((v >> (8 * i)) & 0xFF);
}
void Put64(std::vector<uint8_t> &b, uint64_t v) {
  for (int i = 0; i < 8; i++) b.push_back((v >> (8 * i)) & 0xFF);
}

// One usbmon record: the 64-byte header and the captured data after it.
std::vector<uint8_t> UsbmonRecord(const ControlTransfer &t, bool completion, uint64_t id) {
  const bool in = (t.setup.bmRequestType & usb::kDirectionIn) != 0;
  const uint64_t timeUs = completion ? t.completedUs : t.submittedUs;
  // What travels with the record: OUT data on the submission, IN data on the completion.
  const std::vector<uint8_t> *data = nullptr;
  uint32_t length = 0;  // the URB's length: asked for on a submission, done on a completion
  uint8_t dataFlag = kDataPresent;
  if (!completion) {
    length = in ? t.setup.wLength : static_cast<uint32_t>(t.dataOut.size());
    if (in) {
      dataFlag = kNoDataIn;
    } else {
      data = &t.dataOut;
    }
  } else if (in) {
    data = &t.dataIn;
    length = static_cast<uint32_t>(t.dataIn.size());
  } else {
    length = t.status == kStatusOk ? static_cast<uint32_t>(t.dataOut.size()) : 0;
    dataFlag = kNoDataOut;
  }
  const uint32_t captured = data != nullptr ? static_cast<uint32_t>(data->size()) : 0;

  std::vector<uint8_t> r;
  r.reserve(kUsbmonHeaderBytes + captured);
  Put64(r, id);
  r.push_back(completion ? 'C' : 'S');
  r.push_back(kTransferControl);
  r.push_back(in ? kEndpointIn : 0);
  r.push_back(t.address);
  Put16(r, t.bus);
  r.push_back(completion ? kSetupAbsent : kSetupPresent);
  r.push_back(dataFlag);
  Put64(r, timeUs / 1000000);
  Put32(r, static_cast<uint32_t>(timeUs % 1000000));
  Put32(r, static_cast<uint32_t>(completion ? t.status : kStatusSubmitted));
  Put32(r, length);
  Put32(r, captured);
  if (completion) {
    Put64(r, 0);  // no setup packet on a completion
  } else {
    r.push_back(t.setup.bmRequestType);
    r.push_back(t.setup.bRequest);
    Put16(r, t.setup.wValue);
    Put16(r, t.setup.wIndex);
    Put16(r, t.setup.wLength);
  }
  Put32(r, 0);                  // interval
  Put32(r, 0);                  // start frame
  Put32(r, in ? kUrbDirIn : 0);  // transfer flags
  Put32(r, 0);                  // isochronous descriptors
  if (data != nullptr) {
    r.insert(r.end(), data->begin(), data->end());
  }
  return r;
}

}  // namespace

CaptureFile::~CaptureFile() {
  if (file_ != nullptr) {
    std::fclose(file_);
  }
}

bool CaptureFile::Open(const std::string &path) {
  path_ = path;
  error_.clear();
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) {
    Fail("cannot create");
    return false;
  }
  std::vector<uint8_t> header;
  Put32(header, kPcapMagic);
  Put16(header, kPcapMajor);
  Put16(header, kPcapMinor);
  Put32(header, 0);  // time zone
  Put32(header, 0);  // timestamp accuracy
  Put32(header, kSnapLength);
  Put32(header, kLinkTypeUsbLinuxMmapped);
  return Put(header);
}

bool CaptureFile::Write(const ControlTransfer &transfer) {
  if (!Good()) {
    return false;
  }
  const uint64_t id = kUrbIdBase + kUrbIdStep * transfers_;
  for (const bool completion : {false, true}) {
    const std::vector<uint8_t> record = UsbmonRecord(transfer, completion, id);
    const uint64_t timeUs = completion ? transfer.completedUs : transfer.submittedUs;
    std::vector<uint8_t> header;
    Put32(header, static_cast<uint32_t>(timeUs / 1000000));
    Put32(header, static_cast<uint32_t>(timeUs % 1000000));
    Put32(header, static_cast<uint32_t>(record.size()));
    Put32(header, static_cast<uint32_t>(record.size()));
    if (!Put(header) || !Put(record)) {
      return false;
    }
  }
  transfers_++;
  return true;
}

bool CaptureFile::Close() {
  if (file_ == nullptr) {
    return false;
  }
  const bool flushed = std::fflush(file_) == 0;
  if (!flushed && error_.empty()) {
    Fail("cannot write");
  }
  if (std::fclose(file_) != 0 && error_.empty()) {
    Fail("cannot write");
  }
  file_ = nullptr;
  return error_.empty();
}

bool CaptureFile::Put(const std::vector<uint8_t> &bytes) {
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) {
    Fail("cannot write");
    return false;
  }
  return true;
}

void CaptureFile::Fail(const std::string &what) {
  if (error_.empty()) {
    error_ = what + " the capture " + path_ + ": " + std::strerror(errno);
  }
}

}  // namespace usbcap
