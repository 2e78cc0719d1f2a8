// A simulated platform with cameras on its USB bus, and readable views of the transfers
// the driver made.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "camera/Camera.h"
#include "support/SimTest.h"
#include "command/Command.h"

// The setup packet, direction and timeout of one transfer.
struct WireRequest {
  uint8_t bmRequestType;
  uint8_t bRequest;
  uint16_t wValue;
  uint16_t wIndex;
  uint16_t wLength;
  EFI_USB_DATA_DIRECTION direction;
  uint32_t timeoutMs;

  static WireRequest Of(const sim::Transfer &t) {
    return {t.setup.RequestType, t.setup.Request, t.setup.Value, t.setup.Index,
            t.setup.Length,      t.direction,     t.timeoutMs};
  }
  bool operator==(const WireRequest &o) const {
    return std::tie(bmRequestType, bRequest, wValue, wIndex, wLength, direction, timeoutMs) ==
           std::tie(o.bmRequestType, o.bRequest, o.wValue, o.wIndex, o.wLength, o.direction,
                    o.timeoutMs);
  }
  friend void PrintTo(const WireRequest &w, std::ostream *os) {
    char text[96];
    std::snprintf(text, sizeof text, "{%02X %02X %04X %04X %04X dir %u, %u ms}", w.bmRequestType,
                  w.bRequest, w.wValue, w.wIndex, w.wLength, (unsigned)w.direction, w.timeoutMs);
    *os << text;
  }
};

// The requests of the extension-unit command channel and the configuration read.
inline WireRequest XuSetCur(uint8_t unit) {
  return {0x21, 0x01, 0x0A00, static_cast<uint16_t>(unit << 8), 8, EfiUsbDataOut, 5000};
}
inline WireRequest XuGetCur(uint8_t unit) {
  return {0xA1, 0x81, 0x0B00, static_cast<uint16_t>(unit << 8), 8, EfiUsbDataIn, 5000};
}
inline WireRequest GetConfiguration(uint16_t wTotalLength) {
  return {0x80, 0x06, 0x0200, 0x0000, wTotalLength, EfiUsbDataIn, 3000};
}

inline std::vector<uint8_t> Bytes(const UINT8 *p, size_t n) { return {p, p + n}; }

// "%x" of a pointer's low 32 bits, as the driver's messages print handles.
inline std::string Hex32(const void *p) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", (unsigned)(uint32_t)(uintptr_t)p);
  return text;
}
// "%p" as the driver's formatter prints it: upper-case hexadecimal.
inline std::string HexPointer(const void *p) {
  char text[24];
  std::snprintf(text, sizeof text, "%llX", (unsigned long long)(uintptr_t)p);
  return text;
}

class CameraTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    XuUnitId = KV_XU_UNIT_ID_DEFAULT;
  }

  // Attaches a camera on the next free port; Port() and Io() then refer to it by order.
  std::shared_ptr<camera::Camera> Attach(camera::Config config = {}) {
    auto device = std::make_shared<camera::Camera>(std::move(config));
    ports_.push_back(P.Usb().Attach(device));
    cameras_.push_back(device);
    EXPECT_TRUE(P.Usb().Notes().empty()) << P.Usb().Notes().back();
    return device;
  }
  uint8_t Port(size_t camera = 0) const { return ports_.at(camera); }
  // The interface as the driver takes it from its handle: known to the USB I/O gate.
  EFI_USB_IO_PROTOCOL *Io(size_t interfaceIndex = 0, size_t camera = 0) const {
    EFI_USB_IO_PROTOCOL *io = P.Usb().UsbIo(Port(camera), interfaceIndex);
    EXPECT_NE(io, nullptr);
    if (io != nullptr) {
      KvrUsbBind(Handle(interfaceIndex, camera), io);
    }
    return io;
  }
  EFI_HANDLE Handle(size_t interfaceIndex = 0, size_t camera = 0) const {
    return P.Usb().Handles(Port(camera)).at(interfaceIndex);
  }
  EFI_DEVICE_PATH_PROTOCOL *PathOf(EFI_HANDLE handle) {
    void *path = nullptr;
    const EFI_GUID guid = EFI_DEVICE_PATH_PROTOCOL_GUID;
    EXPECT_EQ(P.BootServices()->HandleProtocol(handle, const_cast<EFI_GUID *>(&guid), &path),
              EFI_SUCCESS);
    return static_cast<EFI_DEVICE_PATH_PROTOCOL *>(path);
  }

  const std::vector<sim::Transfer> &Transfers() const { return P.Usb().Transfers(); }
  std::vector<WireRequest> Wire() const {
    std::vector<WireRequest> wire;
    for (const sim::Transfer &t : Transfers()) {
      wire.push_back(WireRequest::Of(t));
    }
    return wire;
  }
  // Index the next transfer will get.
  size_t NextTransfer() const { return Transfers().empty() ? 0 : Transfers().back().index + 1; }

  std::vector<uint8_t> ports_;
  std::vector<std::shared_ptr<camera::Camera>> cameras_;
};
