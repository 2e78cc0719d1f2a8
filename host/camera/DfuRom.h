// The camera's DFU ROM device: what the camera becomes after a detach request, a DFU 1.1
// device in DFU mode (PID 0x4C00) that takes the new firmware with DFU_DNLOAD and keeps
// every block it receives.
//
// The state machine is DFU 1.1's, appendix A, and as strict. Each state takes these class
// requests (GETSTATE is taken in every state that takes a request at all):
//   dfuIDLE             DNLOAD with data (-> dfuDNLOAD-SYNC), ABORT, GETSTATUS
//   dfuDNLOAD-SYNC      GETSTATUS: dfuDNBUSY while the block is programmed, else
//                       dfuDNLOAD-IDLE
//   dfuDNBUSY           nothing until its bwPollTimeout has passed; then dfuDNLOAD-SYNC
//   dfuDNLOAD-IDLE      DNLOAD with data (-> dfuDNLOAD-SYNC), the zero-length DNLOAD
//                       (-> dfuMANIFEST-SYNC), ABORT (-> dfuIDLE), GETSTATUS
//   dfuMANIFEST-SYNC    GETSTATUS: dfuMANIFEST with the manifestation time as bwPollTimeout;
//                       once manifested, dfuIDLE
//   dfuMANIFEST         nothing until its bwPollTimeout has passed; then dfuMANIFEST-SYNC on
//                       a manifestation-tolerant device, dfuMANIFEST-WAIT-RESET on another
//   dfuMANIFEST-WAIT-RESET  no request; only a reset (or, below, DFU_DETACH) moves it on
//   dfuUPLOAD-IDLE      ABORT (-> dfuIDLE), GETSTATUS (a start state only: no upload)
//   dfuERROR            CLRSTATUS (-> dfuIDLE, status OK), GETSTATUS
// Every other request to the DFU interface, DFU_DETACH included, is stalled and leaves the
// device in dfuERROR with errSTALLEDPKT; in dfuMANIFEST-WAIT-RESET it is only stalled.
//
// The camera's ROM departs from DFU 1.1 in one place, the switch DfuConfig::detachStartsImage:
// DFU_DETACH to the ROM device starts the image that a download ended with the zero-length
// DFU_DNLOAD, in any state that takes requests, whether or not the host watched the
// manifestation (a DFU 1.1 device manifests on the DFU_GETSTATUS that follows and starts
// the new firmware on a USB reset). The device leaves the bus and comes back as the camera
// with the VID, PID and bcdDevice of the image's firmware version block (camera/
// DfuPersona.cpp). Without such an image DFU_DETACH is refused as DFU 1.1 refuses it.
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
  // Manifestation time: the DFU_GETSTATUS in dfuMANIFEST-SYNC answers dfuMANIFEST with it
  // as bwPollTimeout.
  uint32_t manifestMs = 20;
  // bwPollTimeout of every other answer.
  uint32_t pollTimeoutMs = 0;
  // bitManifestationTolerant: after manifestation the device is back in dfuIDLE (set) or
  // waits in dfuMANIFEST-WAIT-RESET for a reset (clear).
  bool manifestationTolerant = true;
  // The camera ROM's departure from DFU 1.1 (see above); false: a DFU 1.1 device, which
  // refuses DFU_DETACH in DFU mode.
  bool detachStartsImage = true;
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
  // DFU_DETACH: true when the device takes it and starts what it holds (BootIdentity), false
  // when it refused it (stalled, and in dfuERROR as DFU 1.1 prescribes).
  bool Detach();
  void Advance(uint64_t nowUs);

  uint8_t State() const { return state_; }
  uint8_t Status() const { return status_; }
  // The bytes of every block received, in order, and the block numbers (wValue) they came
  // with. DFU_ABORT discards both: a new download starts over.
  const std::vector<uint8_t> &Image() const { return image_; }
  const std::vector<uint16_t> &BlockNumbers() const { return blockNumbers_; }
  // The zero-length DFU_DNLOAD ended the download (the image is complete).
  bool Manifested() const { return manifested_; }
  // The manifestation phase has run to its end (the host polled it through dfuMANIFEST).
  bool ManifestationDone() const { return manifestationDone_; }
  // The identity the device starts with after DFU_DETACH, when it holds a complete image
  // with a version block (or any such image, with bootsIncompleteImage).
  std::optional<FirmwareIdentity> BootIdentity() const;

 private:
  usb::Reply Refuse();  // stall, and dfuERROR as DFU 1.1 prescribes
  bool Busy() const { return state_ == dfu::kDnBusy || state_ == dfu::kManifest; }
  void Settle();  // the moves that time makes: out of dfuDNBUSY and dfuMANIFEST
  usb::Reply GetStatus(const usb::Setup &setup);
  usb::Reply Download(const usb::Setup &setup, const std::vector<uint8_t> &dataOut);
  usb::Reply ClearStatus();
  usb::Reply Abort();

  const DfuConfig &config_;
  const DfuMisbehaviour &misbehaviour_;
  uint8_t state_;
  uint8_t status_;
  uint64_t nowUs_;
  uint64_t busyUntilUs_ = 0;  // end of the dfuDNBUSY or dfuMANIFEST poll timeout
  bool programmed_ = true;  // the last block has been written; false from a block to dfuDNLOAD-IDLE
  bool startedBusy_;        // a device that starts in dfuDNBUSY stays there
  std::vector<uint8_t> image_;
  std::vector<uint16_t> blockNumbers_;
  bool manifested_ = false;
  bool manifestationDone_ = false;
};

}  // namespace camera
