// One update run of the real driver on the simulated platform: a capsule handed over the
// way a platform does, a chosen camera on the USB bus, the driver's entry point called, and
// what came of it. The library behind kvr-scenario and `make demo`.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "camera/Camera.h"
#include "platform/Uefi.h"
#include "sim/Sim.h"
#include "tools/CapsuleFormat.h"
#include "tools/UsbCapture.h"

namespace scenario {

enum class Path { Hob, CapsuleOnRam, Insyde };
enum class Camera {
  Flash,         // runtime firmware on a chip without DFU: the flash path
  DfuInterface,  // exposes a DFU run-time interface: the DFU path, mode 1
  DfuCapable,    // runtime firmware on a DFU-capable chip: the DFU path, mode 2
  None,          // no camera on the bus
  OtherIds,      // a camera whose VID/PID the image does not name
  Stalling,      // a camera that stalls every vendor and class request
  DfuPartial,    // DFU mode 2; the ROM device stalls the write of block kPartialStallBlock
                 // once and, told to leave, starts the part of the image it received
  DfuRom,        // a DFU-capable camera stranded in its DFU ROM device: a DFU download was
                 // cut short by a power loss
};
// The block whose write the DfuPartial camera's ROM device stalls: it has received 16 KiB.
constexpr uint16_t kPartialStallBlock = 4;
// A device on the bus besides the camera (Options::others).
enum class Other {
  OtherRom,  // another model of the chip family (3B5A:9999, DFU-capable) stranded in its DFU
             // ROM device 3B5A:4C00 by its own interrupted update: not this image's to write
};

bool ParsePath(const std::string &text, Path *path);
bool ParseCamera(const std::string &text, Camera *camera);
bool ParseOther(const std::string &text, Other *other);
const char *Name(Path path);
const char *Name(Camera camera);
const char *Name(Other other);
// The device of that kind, as the camera model builds it.
std::shared_ptr<camera::Camera> MakeOther(Other other);

struct Options {
  Path path = Path::Hob;
  Camera camera = Camera::Flash;
  bool progressProtocol = true;
  // Called with each progress value as the driver reports it.
  std::function<void(UINTN)> onProgress;

  // Makes the camera from the configuration the chosen kind gives (a model subclass, for
  // instance); unset: camera::Camera itself.
  std::function<std::shared_ptr<camera::Camera>(const camera::Config &)> makeCamera;
  // Called with the camera before it goes on the bus: its misbehaviour switches.
  std::function<void(camera::Camera &)> adjustCamera;
  // Called with the platform once the world is built, right before the entry point: where
  // faults are injected (failed allocations and transfers, shortened answers) and extra
  // handles installed.
  std::function<void(sim::Platform &)> beforeEntry;
  // Whether an IN data stage shorter than asked for fails the transfer, as in OVMF
  // (sim::UsbBus::ShortAnswersFail).
  bool shortAnswersFail = true;
  // Most virtual time the driver may stall; a run that would stall longer is stopped.
  uint64_t stallBudgetUs = uint64_t{30} * 60 * 1000 * 1000;
  // Devices on the bus besides the camera, attached after it (on the next ports), in order.
  std::vector<std::shared_ptr<usb::Device>> others;
  // The platform's non-volatile variable store, as it survives a reset: loaded into the
  // platform before the run and replaced by what the store holds after it. Unset: the run
  // starts with an empty store.
  std::vector<sim::Platform::StoredVariable> *nonVolatile = nullptr;
  // Every SetVariable fails with this status (EFI_WRITE_PROTECTED: the store is locked).
  EFI_STATUS setVariableFailure = EFI_SUCCESS;
  // Whether the outcome keeps what a run's outcome counts in detail: every transfer, stall
  // and allocation size (transferLog, stalls, allocationSizes). Off, they stay empty and
  // the counts (transfers, bytesOut, bytesIn, allocations) are still given.
  bool detailedRecord = true;
};

struct Outcome {
  EFI_STATUS status = 0;
  std::vector<UINTN> progress;
  uint64_t virtualUs = 0;        // virtual time the run took (Stall calls, timed-out transfers)
  uint64_t transferWaitUs = 0;   // of which in control transfers that timed out
  size_t transfers = 0;          // control transfers the driver made
  bool cameraHoldsImage = false;  // the payload is in the camera (flash, or received by DFU)
  std::string cameraState;       // one line on what the camera ends as
  std::vector<std::string> log;  // the driver's messages
  size_t poolBlocksLeft = 0;     // pool blocks outstanding after the run

  // False when the run was stopped at the stall budget: the entry point never returned and
  // status holds EFI_ABORTED, which the driver did not give.
  bool returned = true;
  std::vector<sim::Transfer> transferLog;  // every control transfer, as the bus recorded it
  uint64_t bytesOut = 0;                   // data stage bytes sent to the camera
  uint64_t bytesIn = 0;                    // data stage bytes the camera delivered
  std::vector<uint64_t> stalls;            // every Stall argument, in order
  size_t allocations = 0;                  // AllocatePool calls
  std::vector<size_t> allocationSizes;     // their Size arguments, in order
  size_t peakPoolBytes = 0;
  std::vector<std::string> poolLeaks;      // blocks left after the run, one line each
  std::vector<std::string> violations;     // the platform's record of misuse
  // Each of Options::others, in order: one line on what it ends as and the requests that
  // reached its port (counted from transferLog: none without detailedRecord).
  std::vector<std::string> othersState;
  // Whether any of them was written or sent towards an update: allowed to update, detached,
  // its flash erased or programmed, or bytes received by its DFU ROM device.
  bool otherWritten = false;
};

// The built-in sample: a 128 KiB payload for the default camera (3B5A:4C15) carrying a
// firmware version block for version 0x0101; and a capsule holding it for the path (an FMP
// capsule on the INSYDE path, a firmware volume capsule otherwise).
capfmt::Bytes SampleImage();
capfmt::Bytes SampleCapsule(Path path);
// The same with a payload of this many bytes; a shorter one than the version block's end
// (0x1314) grows to hold the block.
capfmt::Bytes SampleImage(size_t payloadLength);
capfmt::Bytes SampleCapsule(Path path, size_t payloadLength);

// What the camera holds, judged from the camera itself: the payload in its flash with a
// valid tag, or the payload (the bytes a DFU download sends of it) received by DFU with the
// camera back under the identity of the payload's version block.
// state (may be null) receives one line on the camera.
bool CameraHoldsPayload(camera::Camera &device, const capfmt::Bytes &payload,
                        std::string *state);

// Runs the driver with the capsule (as kvrcap writes it) handed over on the chosen path.
Outcome Run(const capfmt::Bytes &capsule, const Options &options);

// The non-volatile variable store as a text file, for runs that carry it from one boot to
// the next (kvr-scenario --variables). One line a variable, after a `kvr-variables 1` line
// and before an `end` line:
//   variable guid=063FCEBE-765E-48BC-B4E2-549BEBD395B0 name=KvrDfuInFlight
//            attributes=0x00000003 data=4b564946...   (one line)
// Names are printable ASCII without spaces or '='; data is lowercase hex ("-" when empty).
// False with a reason when a variable's name cannot be written so.
bool VariablesText(const std::vector<sim::Platform::StoredVariable> &variables,
                   std::string *text, std::string *error);
// Reads such a text back. False with a reason when it is malformed.
bool ParseVariables(const std::string &text,
                    std::vector<sim::Platform::StoredVariable> *variables, std::string *error);

// The run's control transfers as a USB capture holds them: virtual time, bus 1, the
// addresses the simulated bus gave the devices, Linux's completion statuses.
std::vector<usbcap::ControlTransfer> CaptureOf(const std::vector<sim::Transfer> &transfers);

}  // namespace scenario
