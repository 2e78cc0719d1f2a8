// Cameras and DFU ROM devices on the simulated bus, a recording progress protocol, camera
// payloads with a firmware version block, and the DFU requests as they appear on the wire.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "camera/CameraFixture.h"
#include "dfu/Dfu.h"
#include "support/ProgressRecorder.h"
#include "tools/CapsuleFormat.h"


// first, first + step, ... up to and including last.
inline std::vector<UINTN> Steps(UINTN first, UINTN step, UINTN last) {
  std::vector<UINTN> values;
  for (UINTN v = first; v <= last; v += step) values.push_back(v);
  return values;
}
template <typename T>
std::vector<T> Join(std::vector<T> a, const std::vector<T> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A payload of this length with a version block; no byte 3 at offset 0, so the download
// length rule that reads offset 4 stays out of the way.
inline capfmt::Bytes DfuPayload(size_t length, capfmt::VersionBlock block = {}) {
  capfmt::Bytes payload(length);
  for (size_t i = 0; i < length; i++) payload[i] = static_cast<uint8_t>(0x40 + (i * 7) % 191);
  capfmt::PutVersionBlock(payload, block);
  payload.resize(length);
  return payload;
}

// DFU requests to interface 0 of the ROM device, as the driver sends them.
inline WireRequest GetStatusRequest(uint16_t interfaceNumber = 0) {
  return {0xA1, 0x03, 0, interfaceNumber, 6, EfiUsbDataIn, 5000};
}
inline WireRequest ClearStatusRequest(uint16_t interfaceNumber = 0) {
  return {0x21, 0x04, 0, interfaceNumber, 0, EfiUsbNoData, 5000};
}
inline WireRequest AbortRequest(uint16_t interfaceNumber = 0) {
  return {0x21, 0x06, 0, interfaceNumber, 0, EfiUsbNoData, 5000};
}
inline WireRequest BlockRequest(uint16_t block, uint16_t length) {
  return {0x21, 0x01, block, 0, length, EfiUsbDataOut, 5000};
}
inline WireRequest FinalRequest(uint16_t blocks) {
  return {0x21, 0x01, blocks, 0, 0, EfiUsbNoData, 20000};
}

// The three lines of a failed DFU status request.
inline std::vector<std::string> StatusRequestFailure(const std::string &what,
                                                     EFI_USB_IO_PROTOCOL *io,
                                                     const std::string &status,
                                                     const std::string &usbResult) {
  return {"VendorSetCmd " + what + " fail!!\r\n", "UsbIo = " + Hex32(io) + "\r\n",
          "KvrFmpDriver Error:SendControlRequest failed: Status " + status + ", UsbResult " +
              usbResult + "\n"};
}

// True when the lines appear one after another in the log.
inline bool HasRun(const std::vector<std::string> &log, const std::vector<std::string> &run) {
  return std::search(log.begin(), log.end(), run.begin(), run.end()) != log.end();
}

class DfuTest : public CameraTest {
 protected:
  // A DFU ROM device of its own on the next free port.
  std::shared_ptr<camera::Camera> AttachRom(camera::DfuConfig config = {},
                                            camera::DfuMisbehaviour misbehaviour = {}) {
    camera::Config settings;
    settings.dfu = config;
    auto device = std::make_shared<camera::Camera>(settings);
    device->Misbehave().dfu = misbehaviour;
    device->BecomeDfuRom();
    ports_.push_back(P.Usb().Attach(device));
    cameras_.push_back(device);
    return device;
  }

  // Where the device attached camera-th is, and the IDs of the image for 3B5A:4C15.
  const DFU_TARGET *Target(size_t camera = 0) {
    EXPECT_TRUE(KvrPortChainOf(PathOf(Handle(0, camera)), &port_));
    target_ = {&port_, 0x3B5A, 0x4C15};
    return &target_;
  }
  KV_PORT_CHAIN port_{};
  DFU_TARGET target_{};

  // DFUDump to interface 0 of the device with DFUFwDownload's values: entry 2, budget 96.
  BOOLEAN Dump(EFI_USB_IO_PROTOCOL *io, const capfmt::Bytes &payload) {
    KV_PROGRESS reporter = {&progress, 0};
    return DFUDump(io, payload.data(), static_cast<INT32>(payload.size()), &accumulator,
                   DFU_PROGRESS_TRANSFER, &reporter);
  }

  // The requests that went out, from the first with this bRequest on (all when none).
  std::vector<WireRequest> WireFrom(size_t first = 0) const {
    std::vector<WireRequest> wire = Wire();
    return {wire.begin() + std::min(first, wire.size()), wire.end()};
  }
  size_t Count(const WireRequest &request) const {
    std::vector<WireRequest> wire = Wire();
    return std::count(wire.begin(), wire.end(), request);
  }

  ProgressRecorder progress;
  UINT32 accumulator = DFU_PROGRESS_STEP;
};
