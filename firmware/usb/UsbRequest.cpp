// The control-transfer primitive, the standard descriptor reads and the descriptor
// iterator, and the looks and waits for a device on a port chain.
#include "Usb.h"

namespace {

constexpr UINTN kDescriptorHeaderLength = 2;  // bLength, bDescriptorType
constexpr UINTN kTypeOffset = 1;
// bmRequestType of GET_DESCRIPTOR.
constexpr UINT8 kRequestTypeStandardDeviceIn =
    USB_REQUEST_TYPE(EfiUsbDataIn, USB_REQ_TYPE_STANDARD, USB_TARGET_DEVICE);
static_assert(kRequestTypeStandardDeviceIn == 0x80);

// TRUE when a whole descriptor starts at Offset: its header lies inside the Limit bytes of
// the configuration, its bLength covers at least the header and it ends inside as well.
BOOLEAN DescriptorInside(const UINT8 *Config, UINTN Offset, UINTN Limit) {
  if (!KvrRangeInside(Offset, kDescriptorHeaderLength, Limit)) {
    return FALSE;
  }
  UINT8 Length = Config[Offset];
  return Length >= kDescriptorHeaderLength && KvrRangeInside(Offset, Length, Limit);
}

}  // namespace

EFI_STATUS UsbControlRequest(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 RequestType, UINT8 Request,
                             UINT16 Value, UINT16 Index, VOID *Data, UINT16 Length,
                             UINT32 TimeoutMs, UINT32 *UsbStatus) {
  *UsbStatus = EFI_USB_NOERROR;
  if (Length != 0 && Data == NULL) {
    return EFI_INVALID_PARAMETER;  // no buffer for the data stage: nothing is sent
  }
  EFI_USB_DEVICE_REQUEST DevReq;
  DevReq.RequestType = RequestType;
  DevReq.Request = Request;
  DevReq.Value = Value;
  DevReq.Index = Index;
  DevReq.Length = Length;
  EFI_USB_DATA_DIRECTION Direction = EfiUsbNoData;
  if (Length == 0) {
    Data = NULL;
  } else {
    Direction = (RequestType & USB_REQ_TYPE_DIR_IN) != 0 ? EfiUsbDataIn : EfiUsbDataOut;
  }
  return KvrUsbControlTransfer(UsbIo, &DevReq, Direction, TimeoutMs, Data, Length, UsbStatus);
}

EFI_STATUS ReadUsbDescriptor(EFI_USB_IO_PROTOCOL *UsbIo, UINT16 Value, UINT16 Index, UINT16 Length,
                             VOID *Buffer, UINT32 *UsbStatus) {
  return UsbControlRequest(UsbIo, kRequestTypeStandardDeviceIn, USB_REQ_GET_DESCRIPTOR, Value,
                           Index, Buffer, Length, KV_DESCRIPTOR_TIMEOUT_MS, UsbStatus);
}

WALK_RESULT NextDescriptor(const UINT8 *Config, UINTN Limit, UINTN *Offset, UINT8 Type,
                           UINTN MinLength, const UINT8 **Descriptor) {
  if (*Offset >= Limit) {
    return WalkNotFound;
  }
  if (!DescriptorInside(Config, *Offset, Limit)) {
    return WalkMalformed;
  }
  const UINT8 *At = Config + *Offset;
  if (At[kTypeOffset] == Type && At[0] < MinLength) {
    return WalkMalformed;
  }
  *Descriptor = At;
  *Offset += At[0];
  return WalkFound;
}


BOOLEAN KvrUsbLook(const KV_PORT_CHAIN *Port, KV_USB_ACCEPT Accept, const VOID *Context,
                   BOOLEAN LogCount, EFI_USB_IO_PROTOCOL **Matched,
                   EFI_USB_DEVICE_DESCRIPTOR *Device) {
  UINTN HandleCount = 0;
  EFI_HANDLE *HandleBuffer = NULL;
  (VOID) LocateUsbIoHandles(&HandleCount, &HandleBuffer, LogCount);
  BOOLEAN Found = FALSE;
  for (UINTN Index = 0; HandleBuffer != NULL && Index < HandleCount; Index++) {
    if (Port != NULL) {
      KV_PORT_CHAIN Chain;
      if (!KvrHandlePortChain(HandleBuffer[Index], &Chain) || !KvrSamePort(&Chain, Port)) {
        continue;
      }
    }
    EFI_USB_IO_PROTOCOL *UsbIo = OpenUsbIoHandle(HandleBuffer[Index], Index);
    if (UsbIo == NULL) {
      continue;
    }
    EFI_USB_DEVICE_DESCRIPTOR DeviceDesc;
    if (EFI_ERROR(KvrUsbGetDeviceDescriptor(UsbIo, &DeviceDesc))) {
      KvrSetMem(&DeviceDesc, sizeof(DeviceDesc), 0);
    }
    if (!Accept(&DeviceDesc, Context)) {
      continue;
    }
    Found = TRUE;
    if (Matched != NULL) {
      *Matched = UsbIo;
    }
    if (Device != NULL) {
      *Device = DeviceDesc;
    }
  }
  if (HandleBuffer != NULL) {
    FreePool(HandleBuffer);
  }
  return Found;
}

BOOLEAN KvrUsbWait(const KV_PORT_CHAIN *Port, KV_USB_ACCEPT Accept, const VOID *Context,
                   UINT32 Tries, UINTN StallUs, EFI_USB_IO_PROTOCOL **Matched) {
  for (UINT32 Try = 0; Try < Tries; Try++) {
    BootServices->Stall(StallUs);
    if (KvrUsbLook(Port, Accept, Context, TRUE, Matched, NULL)) {
      return TRUE;
    }
  }
  return FALSE;
}
