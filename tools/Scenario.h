// One update run of the real driver on the simulated platform: a capsule handed over the
// way a platform does, a chosen camera on the USB bus, the driver's entry point called, and
// what came of it. The library behind kvr-scenario and `make demo`.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/Uefi.h"
#include "tools/CapsuleFormat.h"

namespace scenario {

enum class Path { Hob, CapsuleOnRam, Insyde };
enum class Camera {
  Flash,         // runtime firmware on a chip without DFU: the flash path
  DfuInterface,  // exposes a DFU run-time interface: the DFU path, mode 1
  DfuCapable,    // runtime firmware on a DFU-capable chip: the DFU path, mode 2
  None,          // no camera on the bus
  OtherIds,      // a camera whose VID/PID the image does not name
  Stalling,      // a camera that stalls every vendor and class request
};

bool ParsePath(const std::string &text, Path *path);
bool ParseCamera(const std::string &text, Camera *camera);
const char *Name(Path path);
const char *Name(Camera camera);

struct Options {
  Path path = Path::Hob;
  Camera camera = Camera::Flash;
  bool progressProtocol = true;
  // Called with each progress value as the driver reports it.
  std::function<void(UINTN)> onProgress;
};

struct Outcome {
  EFI_STATUS status = 0;
  std::vector<UINTN> progress;
  uint64_t virtualUs = 0;        // virtual time the run took (all Stall calls)
  size_t transfers = 0;          // control transfers the driver made
  bool cameraHoldsImage = false;  // the payload is in the camera (flash, or received by DFU)
  std::string cameraState;       // one line on what the camera ends as
  std::vector<std::string> log;  // the driver's messages
  size_t poolBlocksLeft = 0;     // pool blocks outstanding after the run
};

// The built-in sample: a 128 KiB payload for the default camera (3B5A:4C15) carrying a
// firmware version block for version 0x0101; and a capsule holding it for the path (an FMP
// capsule on the INSYDE path, a firmware volume capsule otherwise).
capfmt::Bytes SampleImage();
capfmt::Bytes SampleCapsule(Path path);

// Runs the driver with the capsule (as kvrcap writes it) handed over on the chosen path.
Outcome Run(const capfmt::Bytes &capsule, const Options &options);

}  // namespace scenario
