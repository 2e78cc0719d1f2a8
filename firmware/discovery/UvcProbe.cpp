// The UVC probe: recognises the camera by its device path, its video-control interface
// and the extension unit with the camera's GUID, and learns that unit's ID.
#include "Discovery.h"
#include "command/Command.h"

const EFI_GUID CameraXuGuid = KV_CAMERA_XU_GUID;

namespace {

// Field offsets inside the descriptors the walks read.
constexpr UINTN kTypeOffset = 1;
constexpr UINTN kSubtypeOffset = 2;
constexpr UINTN kBcdUvcOffset = 3;
constexpr UINTN kUnitIdOffset = 3;
constexpr UINTN kGuidOffset = 4;
constexpr UINTN kTotalLengthOffset = offsetof(EFI_USB_CONFIG_DESCRIPTOR, TotalLength);

static_assert(UVC_VC_HEADER_MIN_LENGTH == kBcdUvcOffset + 2);
static_assert(UVC_EXTENSION_UNIT_MIN_LENGTH == kGuidOffset + sizeof(EFI_GUID));
static_assert(sizeof(EFI_USB_INTERFACE_DESCRIPTOR) == 9);

VOID ReleaseConfigBuffer(UINT8 **pConfigDesc) {
  if (*pConfigDesc == NULL) {
    LogWarning("Trying to free NULL pointer %s %p\n", u"pConfigDesc", (VOID *)*pConfigDesc);
    return;
  }
  FreePool(*pConfigDesc);
  *pConfigDesc = NULL;
}

// The first VC header (CS_INTERFACE, subtype 1) anywhere in the configuration decides
// whether the device speaks UVC 1.5.
WALK_RESULT FindVcHeader(const UINT8 *Config, UINTN Limit, BOOLEAN *Uvc15) {
  *Uvc15 = FALSE;
  UINTN Offset = 0;
  const UINT8 *Descriptor = NULL;
  WALK_RESULT Step;
  while ((Step = NextDescriptor(Config, Limit, &Offset, USB_DESC_TYPE_CS_INTERFACE,
                                UVC_CS_DESCRIPTOR_MIN_LENGTH, &Descriptor)) == WalkFound) {
    if (Descriptor[kTypeOffset] != USB_DESC_TYPE_CS_INTERFACE ||
        Descriptor[kSubtypeOffset] != UVC_VC_HEADER) {
      continue;
    }
    if (Descriptor[0] < UVC_VC_HEADER_MIN_LENGTH) {
      return WalkMalformed;
    }
    *Uvc15 = KvrReadU16(Descriptor + kBcdUvcOffset) == UVC_VERSION_1_5 ? TRUE : FALSE;
    return WalkFound;
  }
  return Step;
}

// The first video-control interface in alternate setting 0 whose protocol matches the UVC
// version: protocol 1 under a UVC 1.5 header, 0 otherwise. *Behind is the offset right
// behind its interface descriptor.
WALK_RESULT FindVideoControlInterface(const UINT8 *Config, UINTN Limit, BOOLEAN Uvc15,
                                      UINTN *Behind) {
  const UINT8 Protocol = Uvc15 ? UVC_PROTOCOL_15 : UVC_PROTOCOL_UNDEFINED;
  UINTN Offset = 0;
  const UINT8 *Descriptor = NULL;
  WALK_RESULT Step;
  while ((Step = NextDescriptor(Config, Limit, &Offset, USB_DESC_TYPE_INTERFACE,
                                sizeof(EFI_USB_INTERFACE_DESCRIPTOR), &Descriptor)) ==
         WalkFound) {
    if (Descriptor[kTypeOffset] == USB_DESC_TYPE_INTERFACE &&
        Descriptor[offsetof(EFI_USB_INTERFACE_DESCRIPTOR, InterfaceClass)] == UVC_CLASS_VIDEO &&
        Descriptor[offsetof(EFI_USB_INTERFACE_DESCRIPTOR, InterfaceSubClass)] ==
            UVC_SUBCLASS_VIDEOCONTROL &&
        Descriptor[offsetof(EFI_USB_INTERFACE_DESCRIPTOR, AlternateSetting)] == 0 &&
        Descriptor[offsetof(EFI_USB_INTERFACE_DESCRIPTOR, InterfaceProtocol)] == Protocol) {
      *Behind = Offset;
      return WalkFound;
    }
  }
  return Step;
}

// The camera's extension unit among the class-specific descriptors from Offset on, right
// behind the video-control interface; the walk ends at the first descriptor of another type.
WALK_RESULT FindCameraUnit(const UINT8 *Config, UINTN Limit, UINTN Offset, UINT8 *UnitId) {
  const UINT8 *Descriptor = NULL;
  WALK_RESULT Step;
  while ((Step = NextDescriptor(Config, Limit, &Offset, USB_DESC_TYPE_CS_INTERFACE,
                                UVC_CS_DESCRIPTOR_MIN_LENGTH, &Descriptor)) == WalkFound) {
    if (Descriptor[kTypeOffset] != USB_DESC_TYPE_CS_INTERFACE) {
      return WalkNotFound;
    }
    if (Descriptor[kSubtypeOffset] != UVC_VC_EXTENSION_UNIT) {
      continue;
    }
    if (Descriptor[0] < UVC_EXTENSION_UNIT_MIN_LENGTH) {
      return WalkMalformed;
    }
    if (KvrCompareMem(Descriptor + kGuidOffset, &CameraXuGuid, sizeof(EFI_GUID))) {
      *UnitId = Descriptor[kUnitIdOffset];
      return WalkFound;
    }
  }
  return Step;
}

}  // namespace

BOOLEAN FindCameraExtensionUnit(EFI_USB_IO_PROTOCOL *UsbIo) {
  EFI_USB_DEVICE_DESCRIPTOR DeviceDesc;
  EFI_STATUS Status = KvrUsbGetDeviceDescriptor(UsbIo, &DeviceDesc);
  if (EFI_ERROR(Status)) {
    LogInfo("Get device descriptor failed:0x%X.\n", (UINT32)Status);
    return FALSE;
  }
  EFI_USB_CONFIG_DESCRIPTOR ConfigDesc;
  Status = KvrUsbGetConfigDescriptor(UsbIo, &ConfigDesc);
  if (EFI_ERROR(Status)) {
    LogInfo("Get config descriptor failed:0x%X.\n", (UINT32)Status);
    return FALSE;
  }
  const UINT16 TotalLength = ConfigDesc.TotalLength;
  if (TotalLength < sizeof(EFI_USB_CONFIG_DESCRIPTOR)) {
    return FALSE;  // not even the configuration descriptor itself
  }

  UINT8 *pConfigDesc = (UINT8 *)AllocateZeroPool(TotalLength);
  if (pConfigDesc == NULL) {
    NoteDiscoveryFault(EFI_OUT_OF_RESOURCES);  // this device may be the camera
    ReleaseConfigBuffer(&pConfigDesc);
    return FALSE;
  }
  // The configuration's index is taken as its value minus one; it stays in the low byte, so
  // that a configuration value of 0 cannot turn the request into another descriptor type.
  UINT32 UsbStatus = EFI_USB_NOERROR;
  Status = ReadUsbDescriptor(
      UsbIo,
      /* wValue */
      (UINT16)((USB_DESC_TYPE_CONFIG << 8) | (UINT8)(ConfigDesc.ConfigurationValue - 1)),
      /* wIndex */ 0, TotalLength, pConfigDesc, &UsbStatus);
  if (EFI_ERROR(Status)) {
    // A device that could not answer may be the camera: not a camera it has shown not to be.
    NoteProbeFault(DeviceDesc.IdVendor, DeviceDesc.IdProduct);
    ReleaseConfigBuffer(&pConfigDesc);
    return FALSE;
  }

  // USB I/O does not say how many bytes arrived. The buffer was zero-filled, so a short
  // answer ends any walk that reaches its remainder; and the configuration as delivered
  // declares its own extent, which bounds the walks when it is the smaller one.
  UINTN Limit = TotalLength;
  UINT16 DeliveredLength = KvrReadU16(pConfigDesc + kTotalLengthOffset);
  if (DeliveredLength < Limit) {
    Limit = DeliveredLength;
  }

  BOOLEAN Uvc15 = FALSE;
  UINTN Units = 0;
  UINT8 UnitId = 0;
  if (FindVcHeader(pConfigDesc, Limit, &Uvc15) == WalkMalformed ||
      FindVideoControlInterface(pConfigDesc, Limit, Uvc15, &Units) != WalkFound ||
      FindCameraUnit(pConfigDesc, Limit, Units, &UnitId) != WalkFound) {
    ReleaseConfigBuffer(&pConfigDesc);
    return FALSE;
  }

  LogInfo("VID_%04X PID_%04X bcdDevice_%04X - Class 0x%X, SubClass %d, Protocol %d\n",
          (UINT32)DeviceDesc.IdVendor, (UINT32)DeviceDesc.IdProduct, (UINT32)DeviceDesc.BcdDevice,
          (UINT32)DeviceDesc.DeviceClass, (INT32)DeviceDesc.DeviceSubClass,
          (INT32)DeviceDesc.DeviceProtocol);
  LogInfo("Found Korvane Camera, XU %d\n", (INT32)UnitId);
  XuUnitId = UnitId;
  ReleaseConfigBuffer(&pConfigDesc);
  return TRUE;
}

BOOLEAN IsUsbCameraDevice(EFI_USB_IO_PROTOCOL *UsbIo, EFI_DEVICE_PATH_PROTOCOL *DevicePath) {
  if (DevicePath == NULL) {
    DebugMessage("DevicePath == NULL\n");
    return FALSE;
  }

  // The path must end in a USB node: a USB node directly followed by the end of the entire
  // path. An end-of-instance node is an ordinary node here.
  const UINT8 *Node = (const UINT8 *)DevicePath;
  BOOLEAN PreviousIsUsb = FALSE;
  for (UINTN Count = 0;; Count++) {
    if (Count == KV_MAX_DEVICE_PATH_NODES) {
      DebugMessage("DevicePath has no end within %d nodes\n", (INT32)KV_MAX_DEVICE_PATH_NODES);
      return FALSE;
    }
    const UINT8 Type = Node[offsetof(EFI_DEVICE_PATH_PROTOCOL, Type)];
    const UINT8 SubType = Node[offsetof(EFI_DEVICE_PATH_PROTOCOL, SubType)];
    if (Type == END_DEVICE_PATH_TYPE && SubType == END_ENTIRE_DEVICE_PATH_SUBTYPE) {
      break;
    }
    const UINT16 Length = KvrReadU16(Node + offsetof(EFI_DEVICE_PATH_PROTOCOL, Length));
    if (Length < sizeof(EFI_DEVICE_PATH_PROTOCOL)) {
      DebugMessage("DevicePath node of type 0x%x has length %d\n", (UINT32)Type, (INT32)Length);
      return FALSE;
    }
    PreviousIsUsb = (Type == MESSAGING_DEVICE_PATH && SubType == MSG_USB_DP) ? TRUE : FALSE;
    Node += Length;
  }
  if (!PreviousIsUsb) {
    return FALSE;
  }

  // Firmware that looks the Handle argument up in its handle database refuses an interface
  // pointer, and then every interface of the device goes on to the extension-unit search.
  EFI_USB_IO_PROTOCOL *Opened = NULL;
  EFI_STATUS Status =
      BootServices->OpenProtocol((EFI_HANDLE)UsbIo, &gEfiUsbIoProtocolGuid, (VOID **)&Opened,
                                 ImageHandle, (EFI_HANDLE)UsbIo, EFI_OPEN_PROTOCOL_GET_PROTOCOL);
  if (EFI_ERROR(Status)) {
    return TRUE;
  }

  BOOLEAN Result = FALSE;
  if (Opened != NULL) {
    EFI_USB_INTERFACE_DESCRIPTOR InterfaceDesc;
    KvrSetMem(&InterfaceDesc, sizeof(InterfaceDesc), 0);  // a failed read matches nothing
    (VOID) KvrUsbGetInterfaceDescriptor(Opened, &InterfaceDesc);
    EFI_USB_DEVICE_DESCRIPTOR DeviceDesc;
    if (!EFI_ERROR(KvrUsbGetDeviceDescriptor(Opened, &DeviceDesc)) &&
        InterfaceDesc.InterfaceClass == UVC_CLASS_VIDEO &&
        InterfaceDesc.InterfaceSubClass == UVC_SUBCLASS_VIDEOCONTROL) {
      LogInfo("Find USB Camera Device\n");
      Result = TRUE;
      (VOID) FindCameraExtensionUnit(Opened);
    }
  }
  (VOID) BootServices->CloseProtocol((EFI_HANDLE)UsbIo, &gEfiUsbIoProtocolGuid, ImageHandle,
                                     (EFI_HANDLE)UsbIo);
  return Result;
}

BOOLEAN IsSupportedCamera(EFI_USB_IO_PROTOCOL *UsbIo, EFI_DEVICE_PATH_PROTOCOL *DevicePath) {
  if (!IsUsbCameraDevice(UsbIo, DevicePath)) {
    return FALSE;
  }
  return FindCameraExtensionUnit(UsbIo);
}
