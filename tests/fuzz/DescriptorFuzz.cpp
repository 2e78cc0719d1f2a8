// Fuzz target: a fuzzed device's configuration as the UVC probe reads it. Whatever the
// bytes, the probe must stay inside its buffer, free it, and report a camera unit only
// when one lies inside the configuration it was given.
//
// Input: byte 0 flags, bytes 1-2 the wTotalLength the cached 9-byte configuration
// descriptor declares (little-endian), then the bytes the device answers to
// GET_DESCRIPTOR(configuration); the cached descriptor's other fields come from the first
// nine of them.
//
// Seeds: with KVR_DESCRIPTOR_SEEDS=<dir> in the environment, the target writes its seed
// inputs (cameras as the camera model describes them) into <dir> and exits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "discovery/Discovery.h"
#include "sim/Log.h"
#include "command/Command.h"

namespace {

enum Flags : uint8_t {
  kOpenSucceeds = 0x01,  // firmware that does not validate OpenProtocol's Handle
  kDeviceDescriptorFails = 0x02,
  kConfigDescriptorFails = 0x04,
  kRequestFails = 0x08,
  kAllocationFails = 0x10,
  kStreamingInterface = 0x20,  // the opened interface is not video control
};

void Check(bool ok) {
  if (!ok) std::abort();
}

// ---------------------------------------------------------------- the fuzzed device

struct Device {
  uint8_t flags = 0;
  uint16_t cachedTotal = 0;
  std::vector<uint8_t> answer;
  size_t requests = 0;
} gDevice;

EFI_USB_IO_PROTOCOL gUsbIo;

EFI_STATUS EFIAPI ControlTransfer(EFI_USB_IO_PROTOCOL *This, EFI_USB_DEVICE_REQUEST *Request,
                                  EFI_USB_DATA_DIRECTION Direction, UINT32 Timeout, VOID *Data,
                                  UINTN DataLength, UINT32 *Status) {
  Check(This == &gUsbIo && Request != nullptr && Status != nullptr);
  // Only the configuration request, for as many bytes as the cached descriptor declares.
  Check(Request->RequestType == 0x80 && Request->Request == USB_REQ_GET_DESCRIPTOR);
  Check((Request->Value >> 8) == USB_DESC_TYPE_CONFIG && Request->Index == 0);
  Check(Direction == EfiUsbDataIn && Timeout == KV_DESCRIPTOR_TIMEOUT_MS);
  Check(Data != nullptr && DataLength == Request->Length && DataLength == gDevice.cachedTotal);
  gDevice.requests++;
  if (gDevice.flags & kRequestFails) {
    *Status = EFI_USB_ERR_STALL;
    return EFI_DEVICE_ERROR;
  }
  const size_t delivered = gDevice.answer.size() < DataLength ? gDevice.answer.size() : DataLength;
  if (delivered != 0) {
    std::memcpy(Data, gDevice.answer.data(), delivered);  // ASan: inside the driver's buffer
  }
  *Status = EFI_USB_NOERROR;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetDeviceDescriptor(EFI_USB_IO_PROTOCOL *, EFI_USB_DEVICE_DESCRIPTOR *Out) {
  if (gDevice.flags & kDeviceDescriptorFails) return EFI_DEVICE_ERROR;
  const uint8_t bytes[18] = {18,   1,    0x00, 0x02, 0xEF, 0x02, 0x01, 64, 0x5A,
                             0x3B, 0x15, 0x4C, 0x02, 0x01, 0,    0,    0,  1};
  std::memcpy(Out, bytes, sizeof *Out);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetConfigDescriptor(EFI_USB_IO_PROTOCOL *, EFI_USB_CONFIG_DESCRIPTOR *Out) {
  if (gDevice.flags & kConfigDescriptorFails) return EFI_DEVICE_ERROR;
  uint8_t bytes[sizeof(EFI_USB_CONFIG_DESCRIPTOR)] = {0};
  for (size_t i = 0; i < sizeof bytes && i < gDevice.answer.size(); i++) {
    bytes[i] = gDevice.answer[i];
  }
  bytes[2] = static_cast<uint8_t>(gDevice.cachedTotal);
  bytes[3] = static_cast<uint8_t>(gDevice.cachedTotal >> 8);
  std::memcpy(Out, bytes, sizeof *Out);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI GetInterfaceDescriptor(EFI_USB_IO_PROTOCOL *, EFI_USB_INTERFACE_DESCRIPTOR *Out) {
  const bool streaming = (gDevice.flags & kStreamingInterface) != 0;
  *Out = EFI_USB_INTERFACE_DESCRIPTOR{9, 4, 0, 0, 1, 0x0E, (UINT8)(streaming ? 2 : 1), 1, 0};
  return EFI_SUCCESS;
}

// ---------------------------------------------------------------- the platform around it

size_t gOutstanding;
size_t gAllocations;

EFI_STATUS EFIAPI FuzzAllocatePool(EFI_MEMORY_TYPE, UINTN Size, VOID **Buffer) {
  gAllocations++;
  if ((gDevice.flags & kAllocationFails) && gAllocations == 1) {
    return EFI_OUT_OF_RESOURCES;
  }
  *Buffer = std::malloc(Size != 0 ? Size : 1);
  if (*Buffer == nullptr) return EFI_OUT_OF_RESOURCES;
  gOutstanding++;
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI FuzzFreePool(VOID *Buffer) {
  Check(Buffer != nullptr && gOutstanding > 0);
  std::free(Buffer);
  gOutstanding--;
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI FuzzOpenProtocol(EFI_HANDLE Handle, EFI_GUID *, VOID **Interface, EFI_HANDLE,
                                   EFI_HANDLE, UINT32) {
  if (!(gDevice.flags & kOpenSucceeds)) return EFI_INVALID_PARAMETER;
  *Interface = Handle;
  return EFI_SUCCESS;
}
EFI_STATUS EFIAPI FuzzCloseProtocol(EFI_HANDLE, EFI_GUID *, EFI_HANDLE, EFI_HANDLE) {
  return EFI_SUCCESS;
}

EFI_BOOT_SERVICES gBootServices;
uint8_t gImage;

// ACPI(PNP0A03,0)/PCI(0x14,0)/USB(0,0)/End.
const uint8_t kUsbPath[] = {0x02, 0x01, 12,   0,    0xD0, 0x41, 0x03, 0x0A, 0,    0,
                            0,    0,    0x01, 0x01, 6,    0,    0,    0x14, 0x03, 0x05,
                            6,    0,    0,    0,    0x7F, 0xFF, 4,    0};

// The handle the interface was taken from, as the USB I/O gate checks it before each call:
// it carries gUsbIo and the path above for good.
uint8_t gHandle;
EFI_STATUS EFIAPI FuzzHandleProtocol(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID **Interface) {
  static const EFI_GUID kUsbIo = EFI_USB_IO_PROTOCOL_GUID, kPath = EFI_DEVICE_PATH_PROTOCOL_GUID;
  if (Handle != &gHandle) return EFI_INVALID_PARAMETER;
  if (std::memcmp(Protocol, &kUsbIo, sizeof kUsbIo) == 0) {
    *Interface = &gUsbIo;
  } else if (std::memcmp(Protocol, &kPath, sizeof kPath) == 0) {
    *Interface = const_cast<uint8_t *>(kUsbPath);
  } else {
    return EFI_UNSUPPORTED;
  }
  return EFI_SUCCESS;
}
EFI_TPL EFIAPI FuzzRaiseTpl(EFI_TPL) { return TPL_APPLICATION; }
VOID EFIAPI FuzzRestoreTpl(EFI_TPL) {}
EFI_STATUS EFIAPI FuzzCalculateCrc32(VOID *Data, UINTN Size, UINT32 *Crc) {
  uint32_t c = 0xFFFFFFFFU;
  for (UINTN i = 0; i < Size; i++) {
    c ^= static_cast<const uint8_t *>(Data)[i];
    for (int bit = 0; bit < 8; bit++) c = (c >> 1) ^ (0xEDB88320U & (0U - (c & 1U)));
  }
  *Crc = ~c;
  return EFI_SUCCESS;
}

// TRUE when a camera unit with this ID lies inside the Limit bytes of the answer, with the
// fields the probe read delivered by the device.
bool UnitInside(uint8_t unitId, size_t limit) {
  static const EFI_GUID kGuid = KV_CAMERA_XU_GUID;
  const std::vector<uint8_t> &a = gDevice.answer;
  for (size_t o = 0; o + UVC_EXTENSION_UNIT_MIN_LENGTH <= a.size(); o++) {
    if (a[o] >= UVC_EXTENSION_UNIT_MIN_LENGTH && o + a[o] <= limit && a[o + 1] == 0x24 &&
        a[o + 2] == 0x06 && a[o + 3] == unitId && std::memcmp(&a[o + 4], &kGuid, 16) == 0) {
      return true;
    }
  }
  return false;
}

// ---------------------------------------------------------------- seeds

const uint8_t kCameraWithDfu[] = {
    0x09, 0x02, 0xEA, 0x00, 0x03, 0x01, 0x00, 0x80, 0xFA, 0x08, 0x0B, 0x00, 0x02, 0x0E, 0x03, 0x00,
    0x00, 0x09, 0x04, 0x00, 0x00, 0x01, 0x0E, 0x01, 0x01, 0x00, 0x0D, 0x24, 0x01, 0x50, 0x01, 0x6B,
    0x00, 0x00, 0x6C, 0xDC, 0x02, 0x01, 0x01, 0x12, 0x24, 0x02, 0x01, 0x01, 0x02, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x0A, 0x00, 0x00, 0x0D, 0x24, 0x05, 0x02, 0x01, 0x00, 0x00,
    0x03, 0x5B, 0x17, 0x00, 0x00, 0x00, 0x1B, 0x24, 0x06, 0x03, 0x66, 0x19, 0xEB, 0x9A, 0xA9, 0xAE,
    0x8A, 0x4A, 0xA0, 0x23, 0xE2, 0x5D, 0x60, 0xCA, 0x77, 0xE9, 0x10, 0x01, 0x02, 0x02, 0xFF, 0xFF,
    0x00, 0x1B, 0x24, 0x06, 0x06, 0x25, 0x6D, 0xA7, 0x9D, 0x0F, 0xC7, 0xFE, 0x43, 0x8F, 0xB7, 0xF2,
    0x08, 0x77, 0x0B, 0x92, 0xE7, 0x10, 0x01, 0x03, 0x02, 0xFF, 0xFF, 0x00, 0x09, 0x24, 0x03, 0x03,
    0x01, 0x01, 0x00, 0x06, 0x00, 0x07, 0x05, 0x83, 0x03, 0x10, 0x00, 0x08, 0x05, 0x25, 0x03, 0x10,
    0x00, 0x09, 0x04, 0x01, 0x00, 0x01, 0x0E, 0x02, 0x01, 0x00, 0x0E, 0x24, 0x01, 0x01, 0x37, 0x00,
    0x81, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00, 0x0B, 0x24, 0x06, 0x01, 0x01, 0x01, 0x01, 0x00,
    0x00, 0x00, 0x00, 0x1E, 0x24, 0x07, 0x01, 0x00, 0x80, 0x02, 0xE0, 0x01, 0x00, 0x00, 0x77, 0x01,
    0x00, 0x00, 0xCA, 0x08, 0x00, 0x60, 0x09, 0x00, 0x15, 0x16, 0x05, 0x00, 0x01, 0x15, 0x16, 0x05,
    0x00, 0x07, 0x05, 0x81, 0x02, 0x00, 0x02, 0x00, 0x09, 0x04, 0x02, 0x00, 0x00, 0xFE, 0x01, 0x01,
    0x00, 0x09, 0x21, 0x0B, 0x88, 0x13, 0x00, 0x10, 0x10, 0x01};

const uint8_t kUvc10Camera[] = {
    0x09, 0x02, 0xBD, 0x00, 0x02, 0x01, 0x00, 0x80, 0xFA, 0x08, 0x0B, 0x00, 0x02, 0x0E, 0x03, 0x00,
    0x00, 0x09, 0x04, 0x00, 0x00, 0x01, 0x0E, 0x01, 0x00, 0x00, 0x0D, 0x24, 0x01, 0x00, 0x01, 0x50,
    0x00, 0x00, 0x6C, 0xDC, 0x02, 0x01, 0x01, 0x12, 0x24, 0x02, 0x01, 0x01, 0x02, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x0A, 0x00, 0x00, 0x0D, 0x24, 0x05, 0x02, 0x01, 0x00, 0x00,
    0x03, 0x5B, 0x17, 0x00, 0x00, 0x00, 0x1B, 0x24, 0x06, 0x06, 0x25, 0x6D, 0xA7, 0x9D, 0x0F, 0xC7,
    0xFE, 0x43, 0x8F, 0xB7, 0xF2, 0x08, 0x77, 0x0B, 0x92, 0xE7, 0x10, 0x01, 0x02, 0x02, 0xFF, 0xFF,
    0x00, 0x09, 0x24, 0x03, 0x03, 0x01, 0x01, 0x00, 0x06, 0x00, 0x07, 0x05, 0x83, 0x03, 0x10, 0x00,
    0x08, 0x05, 0x25, 0x03, 0x10, 0x00, 0x09, 0x04, 0x01, 0x00, 0x01, 0x0E, 0x02, 0x00, 0x00, 0x0E,
    0x24, 0x01, 0x01, 0x37, 0x00, 0x81, 0x00, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00, 0x0B, 0x24, 0x06,
    0x01, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x1E, 0x24, 0x07, 0x01, 0x00, 0x80, 0x02, 0xE0,
    0x01, 0x00, 0x00, 0x77, 0x01, 0x00, 0x00, 0xCA, 0x08, 0x00, 0x60, 0x09, 0x00, 0x15, 0x16, 0x05,
    0x00, 0x01, 0x15, 0x16, 0x05, 0x00, 0x07, 0x05, 0x81, 0x02, 0x00, 0x02, 0x00};

void WriteSeed(const std::string &dir, const char *name, uint8_t flags, uint16_t total,
               const uint8_t *answer, size_t length) {
  const std::string path = dir + "/" + name;
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    std::perror(path.c_str());
    std::exit(1);
  }
  const uint8_t head[3] = {flags, static_cast<uint8_t>(total), static_cast<uint8_t>(total >> 8)};
  std::fwrite(head, 1, sizeof head, f);
  std::fwrite(answer, 1, length, f);
  std::fclose(f);
}

void WriteSeeds(const std::string &dir) {
  WriteSeed(dir, "camera-dfu", 0, sizeof kCameraWithDfu, kCameraWithDfu, sizeof kCameraWithDfu);
  WriteSeed(dir, "camera-dfu-opened", kOpenSucceeds, sizeof kCameraWithDfu, kCameraWithDfu,
            sizeof kCameraWithDfu);
  WriteSeed(dir, "camera-uvc10", 0, sizeof kUvc10Camera, kUvc10Camera, sizeof kUvc10Camera);
  WriteSeed(dir, "camera-short-answer", 0, sizeof kCameraWithDfu, kCameraWithDfu, 120);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  if (const char *dir = std::getenv("KVR_DESCRIPTOR_SEEDS")) {
    WriteSeeds(dir);
    std::exit(0);
  }
  gBootServices.AllocatePool = FuzzAllocatePool;
  gBootServices.FreePool = FuzzFreePool;
  gBootServices.OpenProtocol = FuzzOpenProtocol;
  gBootServices.CloseProtocol = FuzzCloseProtocol;
  gBootServices.HandleProtocol = FuzzHandleProtocol;
  gBootServices.RaiseTPL = FuzzRaiseTpl;
  gBootServices.RestoreTPL = FuzzRestoreTpl;
  gBootServices.CalculateCrc32 = FuzzCalculateCrc32;
  BootServices = &gBootServices;
  ImageHandle = &gImage;
  gUsbIo.UsbControlTransfer = ControlTransfer;
  gUsbIo.UsbGetDeviceDescriptor = GetDeviceDescriptor;
  gUsbIo.UsbGetConfigDescriptor = GetConfigDescriptor;
  gUsbIo.UsbGetInterfaceDescriptor = GetInterfaceDescriptor;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  gDevice.flags = data[0];
  gDevice.cachedTotal = static_cast<uint16_t>(data[1] | (data[2] << 8));
  gDevice.answer.assign(data + 3, data + size);  // exactly sized: ASan sees any over-read
  gDevice.requests = 0;
  gOutstanding = 0;
  gAllocations = 0;
  XuUnitId = KV_XU_UNIT_ID_DEFAULT;
  KvrUsbForgetAll();
  KvrUsbBind(&gHandle, &gUsbIo);  // as the enumeration takes the interface from its handle

  std::vector<uint8_t> path(kUsbPath, kUsbPath + sizeof kUsbPath);
  const BOOLEAN found =
      IsSupportedCamera(&gUsbIo, reinterpret_cast<EFI_DEVICE_PATH_PROTOCOL *>(path.data()));

  Check(gOutstanding == 0);      // the configuration buffer is always released
  Check(gDevice.requests <= 2);  // one request per search, two searches at most
  if (found) {
    size_t limit = gDevice.cachedTotal;  // the walks never go past either total
    if (gDevice.answer.size() >= 4) {
      const size_t own = gDevice.answer[2] | (gDevice.answer[3] << 8);
      if (own < limit) limit = own;
    }
    Check(UnitInside(XuUnitId, limit));
  } else {
    Check(XuUnitId == KV_XU_UNIT_ID_DEFAULT || (gDevice.flags & kOpenSucceeds));
  }
  sim::ClearCapturedLog();
  return 0;
}
