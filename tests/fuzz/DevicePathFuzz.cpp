// Fuzz target: the device path of a USB I/O interface, as the probe walks it. Whatever the
// nodes say, the walk must read only node headers the path leads it to, stop within
// KV_MAX_DEVICE_PATH_NODES nodes, and come to the verdict the path's own nodes give: TRUE
// exactly when a USB node is the last one before the end of the entire path.
//
// Input: byte 0 flags, the rest the path's bytes. The path lies at the start of a buffer
// that goes on with zeros for as far as one node can reach (65535 bytes): what follows a
// path in memory is not part of it, and a header read there sees length 0. The buffer is
// sized exactly, so a read past it is caught.
//   flags bit 0 clear: IsUsbCameraDevice is called directly, on a platform that refuses the
//     interface pointer as a handle (as EDK II does): the result is the path's verdict.
//   flags bit 0 set: the camera model is on the simulated USB bus with this path on both its
//     interfaces, and the driver's enumeration runs: the camera is in the device table
//     exactly when the verdict is TRUE, and the enumeration leaves no pool behind.
//
// Seeds: with KVR_DEVICE_PATH_SEEDS=<dir> in the environment, the target writes its seed
// inputs into <dir> and exits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "camera/Camera.h"
#include "discovery/Discovery.h"
#include "driver/Driver.h"
#include "sim/Log.h"
#include "sim/Sim.h"

namespace {

constexpr uint8_t kThroughEnumeration = 0x01;
constexpr size_t kNodeReach = 0xFFFF + sizeof(EFI_DEVICE_PATH_PROTOCOL);

void Check(bool ok, const char *what) {
  if (!ok) {
    std::fprintf(stderr, "DevicePathFuzz: %s\n", what);
    std::abort();
  }
}

struct Verdict {
  bool camera = false;     // a USB node right before the end of the entire path
  bool noEnd = false;      // the node bound was reached
  int shortNode = -1;      // length of a node shorter than its header, when one ended it
  uint8_t shortType = 0;
};

// The path's own verdict, read independently of the driver.
Verdict Reference(const std::vector<uint8_t> &buffer) {
  Verdict v;
  size_t offset = 0;
  bool previousUsb = false;
  for (size_t count = 0;; count++) {
    if (count == KV_MAX_DEVICE_PATH_NODES) {
      v.noEnd = true;
      return v;
    }
    Check(offset + 4 <= buffer.size(), "reference walk left the buffer");
    const uint8_t type = buffer[offset], subtype = buffer[offset + 1];
    if (type == END_DEVICE_PATH_TYPE && subtype == END_ENTIRE_DEVICE_PATH_SUBTYPE) {
      v.camera = previousUsb;
      return v;
    }
    const size_t length = buffer[offset + 2] | (buffer[offset + 3] << 8);
    if (length < 4) {
      v.shortNode = static_cast<int>(length);
      v.shortType = type;
      return v;
    }
    previousUsb = type == MESSAGING_DEVICE_PATH && subtype == MSG_USB_DP;
    offset += length;
  }
}

bool Logged(const std::string &line) {
  for (const std::string &m : sim::CapturedLog()) {
    if (m == line) return true;
  }
  return false;
}

void CheckMessages(const Verdict &v) {
  if (v.noEnd) {
    Check(Logged("DevicePath has no end within " + std::to_string(KV_MAX_DEVICE_PATH_NODES) +
                 " nodes\n"),
          "no message for a path without an end");
  }
  if (v.shortNode >= 0) {
    char line[80];
    std::snprintf(line, sizeof line, "DevicePath node of type 0x%x has length %d\n", v.shortType,
                  v.shortNode);
    Check(Logged(line), "no message for a node shorter than its header");
  }
}

// Boot services of firmware that looks the Handle argument up in its handle database: an
// interface pointer is refused, so the probe never opens anything.
EFI_STATUS EFIAPI RefusingOpenProtocol(EFI_HANDLE, EFI_GUID *, VOID **, EFI_HANDLE, EFI_HANDLE,
                                       UINT32) {
  return EFI_INVALID_PARAMETER;
}

void Direct(const std::vector<uint8_t> &buffer, const Verdict &v) {
  static EFI_BOOT_SERVICES services = [] {
    EFI_BOOT_SERVICES bs{};
    bs.OpenProtocol = RefusingOpenProtocol;
    return bs;
  }();
  BootServices = &services;
  // Never used as an interface: the open fails first.
  EFI_USB_IO_PROTOCOL unused{};
  const BOOLEAN result = IsUsbCameraDevice(
      &unused, reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(const_cast<uint8_t *>(buffer.data())));
  BootServices = nullptr;
  Check((result != FALSE) == v.camera, "the probe's verdict differs from the path's");
  CheckMessages(v);
}

// One simulated platform with the camera on its bus, kept from run to run: the enumeration
// changes nothing in it that the next run would see.
struct World {
  sim::Platform platform;
  uint8_t port;
  World() : port(platform.Usb().Attach(std::make_shared<camera::Camera>())) {}
};

void ThroughEnumeration(const std::vector<uint8_t> &buffer, const Verdict &v) {
  static World *world = new World;  // lives as long as the process
  sim::Platform &platform = world->platform;
  platform.InstallDriverGlobals();
  sim::ResetDriverState();
  const EFI_GUID guid = EFI_DEVICE_PATH_PROTOCOL_GUID;
  for (EFI_HANDLE handle : platform.Usb().Handles(world->port)) {
    platform.UninstallProtocol(handle, guid);
    platform.InstallProtocol(handle, guid, const_cast<uint8_t *>(buffer.data()));
  }
  FmpPrivateData record{};
  pKVFmpPrivateData = &record;
  GetUsbIoByLocateHandleBuffer();
  pKVFmpPrivateData = nullptr;
  Check(record.wCount == (v.camera ? 1 : 0), "the device table does not follow the verdict");
  if (v.camera) {
    Check(record.pDevicePath == reinterpret_cast<const EFI_DEVICE_PATH_PROTOCOL *>(buffer.data()),
          "the entry names another device path");
  }
  CheckMessages(v);
  Check(platform.Pool().outstanding == 0, "pool left behind");
  Check(platform.Violations().empty(), "platform violation");
  platform.Usb().ClearTransfers();
  BootServices = nullptr;
  SystemTable = nullptr;
  RuntimeServices = nullptr;
  ImageHandle = nullptr;
}

// ---------------------------------------------------------------- seeds

void Node(std::vector<uint8_t> &path, uint8_t type, uint8_t subtype, uint16_t length) {
  const size_t at = path.size();
  path.resize(at + (length < 4 ? 4 : length), 0);
  path[at] = type;
  path[at + 1] = subtype;
  path[at + 2] = static_cast<uint8_t>(length);
  path[at + 3] = static_cast<uint8_t>(length >> 8);
}

void WriteSeed(const std::string &dir, const char *name, uint8_t flags,
               const std::vector<uint8_t> &path) {
  const std::string file = dir + "/" + name;
  FILE *f = std::fopen(file.c_str(), "wb");
  if (f == nullptr) {
    std::perror(file.c_str());
    std::exit(1);
  }
  std::fputc(flags, f);
  std::fwrite(path.data(), 1, path.size(), f);
  std::fclose(f);
}

void WriteSeeds(const std::string &dir) {
  // ACPI(PNP0A03,0)/PCI(0x14,0)/USB(0,0)/End, as the simulated bus and OVMF build it.
  std::vector<uint8_t> usb;
  Node(usb, ACPI_DEVICE_PATH, ACPI_DP, 12);
  Node(usb, HARDWARE_DEVICE_PATH, HW_PCI_DP, 6);
  Node(usb, MESSAGING_DEVICE_PATH, MSG_USB_DP, 6);
  Node(usb, END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4);
  WriteSeed(dir, "usb", 0, usb);
  WriteSeed(dir, "usb-enumerated", kThroughEnumeration, usb);
  // Two instances, the first ending in the USB node.
  std::vector<uint8_t> instances;
  Node(instances, MESSAGING_DEVICE_PATH, MSG_USB_DP, 6);
  Node(instances, END_DEVICE_PATH_TYPE, 0x01, 4);
  Node(instances, ACPI_DEVICE_PATH, ACPI_DP, 12);
  Node(instances, END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4);
  WriteSeed(dir, "two-instances", 0, instances);
  // A USB node followed by another node.
  std::vector<uint8_t> behind;
  Node(behind, MESSAGING_DEVICE_PATH, MSG_USB_DP, 6);
  Node(behind, MESSAGING_DEVICE_PATH, 0x0B, 37);
  Node(behind, END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE, 4);
  WriteSeed(dir, "usb-then-mac", kThroughEnumeration, behind);
  // Nodes without end, and a short node.
  std::vector<uint8_t> endless;
  for (size_t i = 0; i < 40; i++) Node(endless, HARDWARE_DEVICE_PATH, 0x04, 4);
  WriteSeed(dir, "no-end", 0, endless);
  std::vector<uint8_t> shortNode;
  Node(shortNode, HARDWARE_DEVICE_PATH, HW_PCI_DP, 2);
  WriteSeed(dir, "short-node", 0, shortNode);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (const char *dir = std::getenv("KVR_DEVICE_PATH_SEEDS")) {
    WriteSeeds(dir);
    std::exit(0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const uint8_t flags = data[0];
  std::vector<uint8_t> buffer(data + 1, data + size);
  buffer.resize(buffer.size() + kNodeReach, 0);  // exactly sized: ASan sees any over-read
  const Verdict v = Reference(buffer);
  sim::ClearCapturedLog();
  if (flags & kThroughEnumeration) {
    ThroughEnumeration(buffer, v);
  } else {
    Direct(buffer, v);
  }
  sim::ClearCapturedLog();
  sim::ResetDriverState();
  return 0;
}
