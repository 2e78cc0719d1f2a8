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
//
// State records: `camera` (persona, mode, what the camera went through), `flash` (the
// chip's state, whether its contents changed since power-on), `rom` (the ROM device's DFU
// state and what it received, once there was one); blobs `flash` (the whole flash array)
// and `rom-image` (every byte the ROM device received, in order).
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

// Builds the persona of this kind from its `--set` options.
std::unique_ptr<Persona> MakeCameraPersona(CameraKind kind, PersonaOptions &options);

}  // namespace emu
