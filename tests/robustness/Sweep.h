// Fault sweeps through the driver's entry point: whole update runs on the simulated
// platform, one per fault point, each judged by what the entry point documents.
//
// Every run is checked for: the entry point returned (no wait past the documented worst
// case), no platform violation, no pool block left once the record and its descriptor array
// are freed, progress never above 100, and an ending that is one of the documented cases
// with its status, its messages and a camera that agrees: EFI_SUCCESS after an update only
// when the camera really holds the new firmware (and, on the flash path, its protection is
// set again), and EFI_SUCCESS without one only when no camera matched (the progress lookup's
// status) after a scan without fault, and the camera was left untouched.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "camera/Camera.h"
#include "sim/Sim.h"
#include "tools/CapsuleFormat.h"
#include "tools/Scenario.h"

namespace robustness {

// One update run to sweep: how the capsule is handed over, and which camera is on the bus.
struct SweepCase {
  const char *name;
  scenario::Path path;
  scenario::Camera camera;
};

// The runs every sweep covers: the flash path, DFU in mode 1 and mode 2 (capsule in a
// firmware volume found through the capsule HOB), the firmware volume through
// "CapsuleOnRam" and the FMP capsule through the INSYDE address variable.
const std::vector<SweepCase> &SweepCases();
// For INSTANTIATE_TEST_SUITE_P.
std::string CaseName(const ::testing::TestParamInfo<SweepCase> &info);

// Payload length of the sweeps' image. Default: three whole 4096-byte pieces and a short
// one, so that every step of both procedures (the short last piece and block included)
// comes through at a tenth of the transfers of the 128 KiB sample. KVR_SWEEP_PAYLOAD=N in
// the environment sets it (`make sweep` runs the sweeps on the 128 KiB sample).
size_t SweepPayloadLength();

// A run of a sweep case: its outcome, its camera, and where the device loop began.
struct SweepRun {
  scenario::Outcome outcome;
  std::shared_ptr<camera::Camera> camera;
  bool reachedLoop = false;          // the progress lookup reported its 10 percent
  size_t transfersBeforeLoop = 0;    // control transfers made before that report
  size_t allocationsBeforeLoop = 0;  // AllocatePool calls made before that report
};

// How a run departs from the clean one.
struct RunSetup {
  // Called with the platform right before the entry point: the fault.
  std::function<void(sim::Platform &)> inject;
  // As sim::UsbBus::ShortAnswersFail: OVMF's behaviour by default.
  bool shortAnswersFail = true;
  // The camera's misbehaviour switches.
  std::function<void(camera::Camera &)> adjustCamera;
  // A camera model of the test's own instead of camera::Camera.
  std::function<std::shared_ptr<camera::Camera>(const camera::Config &)> makeCamera;
  // Devices on the bus besides the camera, on the ports after it.
  std::vector<std::shared_ptr<usb::Device>> others;
  // The non-volatile variable store carried from run to run (scenario::Options).
  std::vector<sim::Platform::StoredVariable> *nonVolatile = nullptr;
  // Every SetVariable fails with this status: a locked store.
  EFI_STATUS setVariableFailure = EFI_SUCCESS;
};

// A setup that only injects a fault.
RunSetup Fault(std::function<void(sim::Platform &)> inject, bool shortAnswersFail = true);

// Runs the case on the capsule.
SweepRun RunCase(const SweepCase &sweepCase, const capfmt::Bytes &capsule,
                  const RunSetup &setup = {});

// The documented ends of an update run.
enum class Ending {
  CapsuleNotFound,  // LocateCapsule failed: its status, "Get Capsule file Failed."
  NoRecord,         // the record could not be allocated: EFI_OUT_OF_RESOURCES
  NoDescriptor,     // InitializeKVDescriptor failed: EFI_OUT_OF_RESOURCES
  NoImage,          // no camera image located: EFI_NOT_FOUND
  NothingMatched,   // no table entry matched: the progress lookup's status
  ScanFault,        // no table entry matched after a fault that may have hidden the camera
  Updated,          // the matching camera, or one stranded in its DFU ROM device, was
                    // updated: EFI_SUCCESS
  UpdateFailed,     // the update procedure failed: its error status
  Stranded,         // no table entry matched, and a DFU ROM device of the chip family that no
                    // in-flight record names was left alone: EFI_NOT_READY
};
const char *Name(Ending ending);

// Longest virtual time the run may take by the driver's own bounds: the flash sequence's two
// restart waits and two status-register polls; for the DFU procedure the detach settle time,
// two waits of DFU_WAIT_TRIES looks and the transfer's whole wait budget.
uint64_t DocumentedWorstCaseUs(const scenario::Outcome &outcome);
uint64_t FlashWorstCaseUs();
uint64_t DfuWorstCaseUs();
// Longest a DFU update may hold the boot, the time its requests take to time out
// included: the waits above, and the time-outs of the allow-update, detach and ROM detach
// requests and of the one request the transfer's budget may still let time out (the final
// DFU_DNLOAD's 20 s) after it is spent.
uint64_t DfuHoldLimitUs();

// Checks the run as the header comment says; every failure names `fault`. Returns the
// ending the run came to.
Ending ExpectSound(const SweepRun &run, const std::string &fault);

// The transfers and allocations of a clean run, with the counts a sweep reports.
struct SweepCount {
  std::string sweep;
  size_t points = 0;
  std::vector<size_t> endings = std::vector<size_t>(9);
  uint64_t longestUs = 0;  // the longest virtual time of a run
  // Counts one fault point that came to this ending.
  void Add(const SweepRun &run, Ending ending);
};
// Records the count as a test property and, with KVR_SWEEP_REPORT set in the environment
// (make sweep), prints one line: "sweep <case> <kind>: N fault points (endings), longest
// run T s".
void Report(const SweepCount &count);
// Prints one line of a campaign's figures, with KVR_SWEEP_REPORT set.
void ReportLine(const std::string &line);

// True for an IN transfer whose answer reached the caller with at least one byte.
bool Answered(const sim::Transfer &transfer);

// A setup packet as the sweeps name a fault point: "RT.RQ.VALU.INDX.LENG" in hexadecimal.
std::string SetupText(const EFI_USB_DEVICE_REQUEST &setup);

// A transfer that failed or came back short ends the run in one of the endings it may: in
// the update, the update survives it or fails; in discovery it may also hide the camera.
void ExpectTransferFaultEnding(Ending ending, bool discovery, const std::string &fault);

}  // namespace robustness
