// A camera ready for the flash path, a progress sink that records every report, and short
// names for the flash path's requests on the wire.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "camera/CameraFixture.h"
#include "flash/Flash.h"
#include "sim/Log.h"
#include "support/ProgressRecorder.h"
#include "command/Command.h"

namespace flashpath {


// Bytes that look like firmware: no long runs, a different stream per seed.
inline std::vector<uint8_t> Image(size_t length, uint32_t seed = 1) {
  std::vector<uint8_t> bytes(length);
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t &b : bytes) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    b = static_cast<uint8_t>(x >> 8);
  }
  return bytes;
}

// A vendor request of the flash path, as "ReadMem FE21", "WriteFlash 012000" or "ReadSr";
// any other transfer as its bmRequestType and bRequest, or "recovery" for the recovery block.
inline std::string Name(const sim::Transfer &t) {
  const EFI_USB_DEVICE_REQUEST &s = t.setup;
  char text[48];
  const unsigned flashAddress = (unsigned)((s.Value >> 8) << 16 | s.Index);
  switch (s.RequestType << 8 | s.Request) {
    case 0xC025: std::snprintf(text, sizeof text, "ReadMem %04X", s.Index); break;
    case 0x4024: std::snprintf(text, sizeof text, "WriteMem %04X", s.Index); break;
    case 0xC030: return "ReadSr";
    case 0x4031: return "WriteSr";
    case 0x4032: return "EraseFlash";
    case 0x4034: return "WriteTag";
    case 0x4001: return "ResetToUpdateFW";
    case 0xC02E: std::snprintf(text, sizeof text, "ReadFlash %06X", flashAddress); break;
    case 0x402F: std::snprintf(text, sizeof text, "WriteFlash %06X", flashAddress); break;
    case 0x2101:
      if (t.dataOut.size() == 8 && t.dataOut[0] == 0xFF) return "recovery";
      std::snprintf(text, sizeof text, "SET_CUR %02X", t.dataOut.size() > 1 ? t.dataOut[1] : 0);
      break;
    case 0xA181: return "GET_CUR";
    default: std::snprintf(text, sizeof text, "%02X %02X", s.RequestType, s.Request); break;
  }
  return text;
}

class FlashTest : public CameraTest {
 protected:
  // Flash contents the camera starts with: an older image, tagged.
  static constexpr size_t kOldImageLength = 200 * 1024;

  void SetUp() override {
    CameraTest::SetUp();
    XuUnitId = 6;  // as the probe leaves it for this camera
  }

  // A camera running its firmware, its flash holding an older image.
  std::shared_ptr<camera::Camera> AttachCamera(camera::Config config = {}) {
    if (config.flash.contents.empty()) {
      config.flash.contents = Image(kOldImageLength, 99);
    }
    cam = Attach(std::move(config));
    return cam;
  }

  // The camera's update mode, as ResetToUpdateFW leaves it, without logging or recording.
  void EnterUpdateMode() {
    ASSERT_TRUE(ResetToUpdateFW(Io()));
    P.Usb().ClearTransfers();
  }

  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const sim::Transfer &t : Transfers()) {
      names.push_back(Name(t));
    }
    return names;
  }

  std::shared_ptr<camera::Camera> cam;
};

}  // namespace flashpath
