// Connecting the controllers, finding USB devices, and the test device's requests.
#include "emu/TestDeviceProtocol.h"
#include "emu/harness/Harness.h"

namespace harness {

namespace {

EFI_GUID gUsbIoGuid = EFI_USB_IO_PROTOCOL_GUID;
EFI_GUID gDevicePathGuid = EFI_DEVICE_PATH_PROTOCOL_GUID;

constexpr UINT32 kPollSliceMs = 50;
constexpr UINT32 kReconnectEveryMs = 500;

struct UsbInterface {
  EFI_USB_IO_PROTOCOL *io;
  EFI_DEVICE_PATH_PROTOCOL *path;  // NULL when the handle has none
  EFI_USB_DEVICE_DESCRIPTOR device;
  EFI_USB_INTERFACE_DESCRIPTOR interface;
};

// Calls Visit(index, interface) for every USB I/O handle whose descriptors can be read.
template <typename Visit>
UINTN ForEachUsbInterface(Visit visit) {
  UINTN count = 0;
  EFI_HANDLE *handles = NULL;
  if (EFI_ERROR(gBS->LocateHandleBuffer(ByProtocol, &gUsbIoGuid, NULL, &count, &handles)) ||
      handles == NULL) {
    return 0;
  }
  for (UINTN i = 0; i < count; i++) {
    UsbInterface usb = {};
    if (EFI_ERROR(gBS->HandleProtocol(handles[i], &gUsbIoGuid,
                                      reinterpret_cast<VOID **>(&usb.io))) ||
        usb.io == NULL || EFI_ERROR(usb.io->UsbGetDeviceDescriptor(usb.io, &usb.device)) ||
        EFI_ERROR(usb.io->UsbGetInterfaceDescriptor(usb.io, &usb.interface))) {
      continue;
    }
    if (EFI_ERROR(gBS->HandleProtocol(handles[i], &gDevicePathGuid,
                                      reinterpret_cast<VOID **>(&usb.path)))) {
      usb.path = NULL;
    }
    visit(i, usb);
  }
  gBS->FreePool(handles);
  return count;
}

void CheckLine(TextLine *line, const CHAR8 *name, EFI_STATUS status, UINT32 usbStatus) {
  line->Clear();
  line->Add("KVR-CHECK name=").Add(name).Add(" status=").Hex(status);
  line->Add(" usb=").Hex(usbStatus);
}

EFI_STATUS Control(EFI_USB_IO_PROTOCOL *io, UINT8 type, UINT8 request, UINT16 value,
                   UINT16 length, EFI_USB_DATA_DIRECTION direction, VOID *data,
                   UINT32 timeoutMs, UINT32 *usbStatus) {
  EFI_USB_DEVICE_REQUEST setup = {};
  setup.RequestType = type;
  setup.Request = request;
  setup.Value = value;
  setup.Index = 0;
  setup.Length = length;
  *usbStatus = 0;
  return io->UsbControlTransfer(io, &setup, direction, timeoutMs, data, length, usbStatus);
}

}  // namespace

UINTN ConnectAllControllers() {
  UINTN count = 0;
  EFI_HANDLE *handles = NULL;
  if (EFI_ERROR(gBS->LocateHandleBuffer(AllHandles, NULL, NULL, &count, &handles)) ||
      handles == NULL) {
    return 0;
  }
  for (UINTN i = 0; i < count; i++) {
    gBS->ConnectController(handles[i], NULL, NULL, TRUE);
  }
  gBS->FreePool(handles);
  return count;
}

void FindUsb(UINT16 Vid, UINT16 Pid, BOOLEAN WantBcd, UINT16 Bcd, UsbMatch *Match) {
  Match->found = FALSE;
  Match->io = NULL;
  Match->bcdDevice = 0;
  ForEachUsbInterface([&](UINTN, const UsbInterface &usb) {
    if (!Match->found && usb.device.IdVendor == Vid && usb.device.IdProduct == Pid &&
        (!WantBcd || usb.device.BcdDevice == Bcd) && usb.interface.InterfaceNumber == 0) {
      Match->found = TRUE;
      Match->io = usb.io;
      Match->bcdDevice = usb.device.BcdDevice;
    }
  });
}

BOOLEAN WaitForUsb(UINT16 Vid, UINT16 Pid, BOOLEAN WantBcd, UINT16 Bcd, UINT32 WaitMs,
                   UsbMatch *Match, UINT32 *WaitedMs) {
  *WaitedMs = 0;
  UINT32 sinceConnect = 0;
  for (;;) {
    FindUsb(Vid, Pid, WantBcd, Bcd, Match);
    if (Match->found || *WaitedMs >= WaitMs) {
      return Match->found;
    }
    gBS->Stall(kPollSliceMs * 1000);
    *WaitedMs += kPollSliceMs;
    sinceConnect += kPollSliceMs;
    if (sinceConnect >= kReconnectEveryMs) {
      ConnectAllControllers();
      sinceConnect = 0;
    }
  }
}

UINTN ListUsb(const CHAR8 *Phase) {
  static TextLine line;
  UINTN listed = 0;
  ForEachUsbInterface([&](UINTN, const UsbInterface &usb) {
    line.Clear();
    line.Add("KVR-USB phase=").Add(Phase).Add(" n=").Decimal(listed++);
    line.Add(" vid=").Hex(usb.device.IdVendor, 4).Add(" pid=").Hex(usb.device.IdProduct, 4);
    line.Add(" bcd=").Hex(usb.device.BcdDevice, 4);
    line.Add(" interface=").Decimal(usb.interface.InterfaceNumber);
    line.Add(" class=").Hex(usb.interface.InterfaceClass, 2);
    line.Add(" subclass=").Hex(usb.interface.InterfaceSubClass, 2);
    line.Add(" protocol=").Hex(usb.interface.InterfaceProtocol, 2);
    line.Add(" port=");
    FormatUsbPorts(usb.path, &line);
    Print(line);
  });
  line.Clear();
  line.Add("KVR-USB phase=").Add(Phase).Add(" count=").Decimal(listed);
  Print(line);
  return listed;
}

BOOLEAN ExerciseTestDevice(UINT16 Vid, UINT16 Pid, UINT32 WaitMs) {
  namespace td = kvr_test_device;
  static TextLine line;
  UsbMatch match;
  FindUsb(Vid, Pid, FALSE, 0, &match);
  if (!match.found) {
    line.Clear();
    line.Add("KVR-CHECK name=find status=").Hex(EFI_NOT_FOUND).Add(" usb=0x0");
    Print(line);
    return FALSE;
  }
  EFI_USB_IO_PROTOCOL *io = match.io;
  BOOLEAN good = TRUE;
  UINT32 usbStatus = 0;

  // Data out and back.
  UINT8 pattern[16];
  for (UINTN i = 0; i < sizeof(pattern); i++) {
    pattern[i] = static_cast<UINT8>(0xA0 + i * 3);
  }
  EFI_STATUS status = Control(io, td::kRequestTypeOut, td::kRequestStore, 0, sizeof(pattern),
                              EfiUsbDataOut, pattern, 1000, &usbStatus);
  UINT8 back[64];
  for (UINTN i = 0; i < sizeof(back); i++) {
    back[i] = 0xEE;
  }
  if (!EFI_ERROR(status)) {
    status = Control(io, td::kRequestTypeIn, td::kRequestStore, 0, sizeof(pattern),
                     EfiUsbDataIn, back, 1000, &usbStatus);
  }
  BOOLEAN same = !EFI_ERROR(status);
  for (UINTN i = 0; same && i < sizeof(pattern); i++) {
    same = back[i] == pattern[i];
  }
  CheckLine(&line, "echo", status, usbStatus);
  line.Add(" match=").Decimal(same ? 1 : 0);
  Print(line);
  good = good && same;

  // Asked for more than the device has: EDK II's USB bus driver fails a data stage
  // shorter than requested with EFI_DEVICE_ERROR and no USB error bit.
  for (UINTN i = 0; i < sizeof(back); i++) {
    back[i] = 0xEE;
  }
  status = Control(io, td::kRequestTypeIn, td::kRequestStore, 0, sizeof(back), EfiUsbDataIn,
                   back, 1000, &usbStatus);
  BOOLEAN delivered = TRUE;  // did the bytes that came arrive in the buffer anyway?
  for (UINTN i = 0; delivered && i < sizeof(pattern); i++) {
    delivered = back[i] == pattern[i];
  }
  CheckLine(&line, "short-answer", status, usbStatus);
  line.Add(" data-in-buffer=").Decimal(delivered ? 1 : 0);
  Print(line);

  // A request the device stalls.
  status = Control(io, td::kRequestTypeIn, td::kRequestStall, 0, 8, EfiUsbDataIn, back, 1000,
                   &usbStatus);
  CheckLine(&line, "stall", status, usbStatus);
  Print(line);
  good = good && status == EFI_DEVICE_ERROR && (usbStatus & EFI_USB_ERR_STALL) != 0;

  // A request the device never answers: the host's timeout ends it.
  status = Control(io, td::kRequestTypeIn, td::kRequestNoAnswer, 0, 8, EfiUsbDataIn, back, 200,
                   &usbStatus);
  CheckLine(&line, "no-answer", status, usbStatus);
  Print(line);
  good = good && status == EFI_TIMEOUT;

  // Off the bus and back as the next device.
  constexpr UINT16 kAwayMs = 300;
  status = Control(io, td::kRequestTypeOut, td::kRequestReturnAsNext, kAwayMs, 0, EfiUsbNoData,
                   NULL, 1000, &usbStatus);
  const UINT16 nextBcd = static_cast<UINT16>(match.bcdDevice + 1);
  UINT32 waited = 0;
  BOOLEAN backAgain = FALSE;
  if (!EFI_ERROR(status)) {
    backAgain = WaitForUsb(Vid, Pid, TRUE, nextBcd, WaitMs, &match, &waited);
  }
  CheckLine(&line, "return", status, usbStatus);
  line.Add(" found=").Decimal(backAgain ? 1 : 0).Add(" bcd=").Hex(match.bcdDevice, 4);
  line.Add(" waited-ms=").Decimal(waited);
  Print(line);
  good = good && backAgain;

  // The new device answers too.
  if (backAgain) {
    status = Control(match.io, td::kRequestTypeIn, td::kRequestStore, 0, sizeof(pattern),
                     EfiUsbDataIn, back, 1000, &usbStatus);
    CheckLine(&line, "after-return", status, usbStatus);
    Print(line);
    good = good && !EFI_ERROR(status);
  }
  return good;
}

}  // namespace harness
