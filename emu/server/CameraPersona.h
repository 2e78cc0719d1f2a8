// The camera model on the wire: the personas a real update meets. Each is the same
// camera::Camera with another configuration:
//
//   camera-flash          runtime firmware on chip 0x4C01 (no DFU): the flash path
//   camera-dfu-interface  a DFU 1.1 run-time interface as interface 2: the DFU path, mode 1
//   camera-dfu-capable    runtime firmware on chip 0x4C15 (DFU-capable): the DFU path, mode 2
//   camera-other-ids      product ID 0x9999, which no camera image names
//
// The DFU ROM device is no persona of its own: after the detach requests the camera
// leaves the bus and comes back, after its delay, as the ROM device, and after DFU_DETACH
// to the ROM device as the camera running the firmware it received. The server turns each
// of these into a usbredir disconnect and connect, so the firmware enumerates every
// device anew.
//
// Options (`--set name=value`; delays in milliseconds, each at most 60000):
//   vid, pid, bcd          the camera's device descriptor IDs
//   chip                   the chip ID in the device information
//   restart-delay-ms       how long the camera is away after a restart (model: 500)
//   detach-delay-ms        detach request to the ROM device's arrival (model: 1000)
//   rom-detach-delay-ms    DFU_DETACH to the ROM device to the camera's return (model: 1000)
//   block-busy-ms          the ROM device's programming time per block (model: 5)
//   old-image-kib          the running firmware in the flash at power-on, in KiB (default
//                          192, at most 1024; 0: the flash is erased)
//   power-cut              TT.RR[:N]: the camera loses power at the request of bmRequestType
//                          TT and bRequest RR (hex) after N of them were answered
//   power-up-delay-ms      power-on to being on the bus again (model: 1000)
//   dfu-download-unfinished  1: the camera powers on stranded in its DFU ROM device, as a
//                          power cut in a DFU download leaves it
//
// Started from a saved state (`--from-state`), the camera powers up from what survived
// there (camera/Power.cpp): the `flash` blob with the flash record's tag and status
// register, and the `power` record's IDs and next start; the options above still apply.
//
// State records: `camera` (persona, mode, what the camera went through), `flash` (the
// chip's state, whether its contents changed since power-on), `power` (power cuts, what
// the camera starts at its next power-up and the IDs it starts with), `rom` (the ROM
// device's DFU state and what it received, once there was one); blobs `flash` (the whole
// flash array) and `rom-image` (every byte the ROM device received, in order).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "camera/Camera.h"
#include "emu/server/Persona.h"

namespace emu {

enum class CameraKind { Flash, DfuInterface, DfuCapable, OtherIds };

// The running firmware a camera persona's flash holds at power-on: kib KiB of a fixed
// pattern that never repeats a whole 256-byte page.
std::vector<uint8_t> OldFirmwareImage(size_t kib);

class CameraPersona : public Persona {
 public:
  explicit CameraPersona(camera::Config config);
  usb::Device &Device() override { return *camera_; }
  void DescribeState(StateFile &state) const override;

  camera::Camera &Camera() { return *camera_; }

 private:
  std::vector<uint8_t> initialFlash_;
  std::unique_ptr<camera::Camera> camera_;
};

// Builds the persona of this kind from its `--set` options and, when given, the state an
// earlier run left.
std::unique_ptr<Persona> MakeCameraPersona(CameraKind kind, PersonaOptions &options,
                                           const SavedState *saved = nullptr);

}  // namespace emu
