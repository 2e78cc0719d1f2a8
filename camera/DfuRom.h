// The camera's DFU ROM device: what the camera becomes after a detach request, a DFU 1.1
// device in DFU mode (PID 0x4C00) that takes the new firmware with DFU_DNLOAD and keeps
// every block it receives. DFU_DETACH to it makes the camera start the received firmware:
// it comes back as the camera with the VID, PID and bcdDevice of the image's firmware
// version block.
//
// The state machine follows DFU 1.1, 6.1.2 and appendix A: a block moves dfuIDLE or
// dfuDNLOAD-IDLE to dfuDNLOAD-SYNC; the next DFU_GETSTATUS answers dfuDNBUSY with the
// block's programming time as bwPollTimeout; once that time has passed the device is back in
// dfuDNLOAD-SYNC and DFU_GETSTATUS answers dfuDNLOAD-IDLE. A request in dfuDNBUSY, or any
// request the current state does not take, is stalled and leaves the device in dfuERROR
// (errSTALLEDPKT) as DFU 1.1 prescribes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "camera/UsbDevice.h"

namespace camera {

namespace dfu {

constexpr uint8_t kProtocolDfuMode = 0x02;

// Class requests (DFU 1.1, table 3.2).
constexpr uint8_t kDetach = 0;
constexpr uint8_t kDnload = 1;
constexpr uint8_t kUpload = 2;
constexpr uint8_t kGetStatus = 3;
constexpr uint8_t kClrStatus = 4;
constexpr uint8_t kGetState = 5;
constexpr uint8_t kAbort = 6;
constexpr uint8_t kRequestTypeOut = 0x21;
constexpr uint8_t kRequestTypeIn = 0xA1;

// States (DFU 1.1, 6.1.2).
enum State : uint8_t {
  kAppIdle = 0,
  kAppDetach = 1,
  kDfuIdle = 2,
  kDnloadSync = 3,
  kDnBusy = 4,
  kDnloadIdle = 5,
  kManifestSync = 6,
  kManifest = 7,
  kManifestWaitReset = 8,
  kUploadIdle = 9,
  kDfuError = 10,
};

// Status codes (DFU 1.1, 6.1.2).
constexpr uint8_t kStatusOk = 0x00;
constexpr uint8_t kErrWrite = 0x03;
constexpr uint8_t kErrNotDone = 0x09;
constexpr uint8_t kErrStalledPkt = 0x0F;

constexpr size_t kStatusLength = 6;

}  // namespace dfu

// The identity a firmware image gives the camera: its version block's VID, PID and version
// (the camera's bcdDevice).
struct FirmwareIdentity {
  uint16_t vid = 0;
  uint16_t pid = 0;
  uint16_t version = 0;
  bool operator==(const FirmwareIdentity &) const = default;
};
// The camera firmware's version block: the first of the offsets 0x1300, 0x2000, 0x300 and
// 0x3000 holding 0x31 and, at +2, the bytes 78 56 34 12. The version is the field at +16 on
// chips 0x4C10 and 0x4C15, the one at +18 on every other chip.
std::optional<FirmwareIdentity> FirmwareIdentityOf(const std::vector<uint8_t> &image);

struct DfuConfig {
  // The ROM device as it enumerates.
  uint16_t romVid = 0x3B5A;
  uint16_t romPid = 0x4C00;
  uint16_t romBcdDevice = 0x0100;
  uint16_t transferSize = 4096;  // longest block it takes
  // Programming time of each block: the first DFU_GETSTATUS after a block answers dfuDNBUSY
  // with it as bwPollTimeout (0: the block is taken at once).
  uint32_t blockBusyMs = 5;
  // bwPollTimeout of every other answer.
  uint32_t pollTimeoutMs = 0;
  // How long the camera stays away after a detach request before it is the ROM device,
  // and after DFU_DETACH to the ROM device before it is the camera again.
  uint64_t detachDelayUs = 1'000'000;
  uint64_t romDetachDelayUs = 1'000'000;
};

struct DfuMisbehaviour {
  // The ROM device starts in this state (any byte) with this status instead of
  // dfuIDLE / OK.
  std::optional<uint8_t> initialState{};
  uint8_t initialStatus = dfu::kStatusOk;
  // Once a block has gone down, every DFU_GETSTATUS answers dfuDNBUSY.
  bool stayBusy = false;
  // The DFU_GETSTATUS that completes this block (counted from 0) answers dfuERROR with
  // errorStatus.
  std::optional<uint32_t> errorAfterBlock{};
  uint8_t errorStatus = dfu::kErrWrite;
  // DFU_CLRSTATUS / DFU_ABORT are stalled.
  bool rejectClearStatus = false;
  bool rejectAbort = false;
  // DFU_CLRSTATUS and DFU_ABORT are acknowledged but change neither state nor status.
  bool stuck = false;
  // DFU_GETSTATUS answers only this many bytes.
  std::optional<size_t> statusAnswerLength{};
  // After a detach request the camera never comes back as the ROM device; after DFU_DETACH
  // to the ROM device it never comes back at all.
  bool romNeverAppears = false;
  bool cameraNeverReturns = false;
  // After DFU_DETACH to the ROM device the camera comes back as it was before the update.
  bool keepOldVersion = false;
  // The ROM device starts the image it holds even when the download was not ended by the
  // zero-length DFU_DNLOAD.
  bool bootsIncompleteImage = false;
};

class DfuRom {
 public:
  // Reads both settings live; they must outlive the ROM device.
  DfuRom(const DfuConfig &config, const DfuMisbehaviour &misbehaviour, uint64_t nowUs);

  std::vector<uint8_t> DeviceDescriptor() const;
  std::vector<uint8_t> ConfigurationDescriptor() const;
  // Class requests to interface 0, DFU_DETACH aside (the camera handles it).
  usb::Reply Control(const usb::Setup &setup, const std::vector<uint8_t> &dataOut);
  void Advance(uint64_t nowUs);

  uint8_t State() const { return state_; }
  uint8_t Status() const { return status_; }
  // The bytes of every block received, in order, and the block numbers (wValue) they came
  // with. DFU_ABORT discards both: a new download starts over.
  const std::vector<uint8_t> &Image() const { return image_; }
  const std::vector<uint16_t> &BlockNumbers() const { return blockNumbers_; }
  // The zero-length DFU_DNLOAD ended the download.
  bool Manifested() const { return manifested_; }
  // The identity the device starts with after DFU_DETACH, when it holds a complete image
  // with a version block (or any such image, with bootsIncompleteImage).
  std::optional<FirmwareIdentity> BootIdentity() const;

 private:
  usb::Reply Refuse();  // stall, and dfuERROR as DFU 1.1 prescribes
  usb::Reply GetStatus(const usb::Setup &setup);
  usb::Reply Download(const usb::Setup &setup, const std::vector<uint8_t> &dataOut);

  const DfuConfig &config_;
  const DfuMisbehaviour &misbehaviour_;
  uint8_t state_;
  uint8_t status_;
  uint64_t nowUs_;
  uint64_t busyUntilUs_ = 0;
  bool programmed_ = true;  // the last block has been written; false from a block to dfuDNLOAD-IDLE
  std::vector<uint8_t> image_;
  std::vector<uint16_t> blockNumbers_;
  bool manifested_ = false;
};

}  // namespace camera
