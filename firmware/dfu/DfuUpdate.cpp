// The DFU update procedure: the image size table and the firmware version block, the
// allow-update and detach requests, the waits for the DFU ROM device and for the updated
// camera, and DFUFwDownload that ties them together.
#include "Dfu.h"
#include "driver/PrivateData.h"
#include "command/Command.h"

const UINT32 FwVersionBlockOffsets[FW_VERSION_BLOCK_CANDIDATES] = {0x1300, 0x2000, 0x300, 0x3000};

const DfuImageSize DfuImageSizeTable[DFU_IMAGE_SIZE_COUNT] = {
    {0x1F010, 0x1F000},  // 31 blocks
    {0x1E010, 0x1E000},  // 30 blocks
    {0x25010, 0x25000},  // 37 blocks
    {0x1D010, 0x1D000},  // 29 blocks
    {0x24010, 0x24000},  // 36 blocks
};

namespace {

// Chips whose version block carries the version in its first version field.
#define FW_VERSION_A_CHIP_1 0x4C10
#define FW_VERSION_A_CHIP_2 0x4C15

// A request without data stage through SendControlRequest: wValue in bits 0-15 of the
// target word, the interface number in bits 24-31. FailText is logged on failure.
BOOLEAN SendNoDataRequest(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 RequestType, UINT8 Request,
                          UINT16 Value, UINT8 InterfaceNumber, const CHAR8 *FailText) {
  const UINT32 Target = (UINT32)Value | ((UINT32)InterfaceNumber << 24);
  EFI_STATUS Status = SendControlRequest(UsbIo, Target, RequestType, Request, NULL, 0);
  if (EFI_ERROR(Status)) {
    DebugMessage(FailText);
    return FALSE;
  }
  return TRUE;
}

// A request's result, with its OkText logged when it succeeded.
BOOLEAN LogWhenOk(BOOLEAN Ok, const CHAR8 *OkText) {
  if (Ok) {
    DebugMessage(OkText);
  }
  return Ok;
}

// What a scan of the USB handles looks for.
enum DEVICE_MATCH_KIND {
  MatchRomDevice,  // PID 0x4C00 with VID 0x3B5A or Vid
  MatchCamera,     // Vid, Pid and Version
  MatchNotRom,     // any device but the ROM device (as MatchRomDevice), silently
};
struct DEVICE_MATCH {
  DEVICE_MATCH_KIND Kind;
  UINT16 Vid;
  UINT16 Pid;
  UINT16 Version;
  const KV_PORT_CHAIN *Port;  // only devices on this port chain; NULL: on any port
};

BOOLEAN IsRomDevice(const EFI_USB_DEVICE_DESCRIPTOR *DeviceDesc, UINT16 Vid) {
  return DeviceDesc->IdProduct == DFU_ROM_PID &&
         (DeviceDesc->IdVendor == DFU_ROM_VID || DeviceDesc->IdVendor == Vid);
}

// One look at the USB handles: TRUE when any matched. *Matched (may be NULL) receives the
// USB I/O interface of the last match in handle order, *MatchedDesc (may be NULL) its
// device descriptor. A handle on another port than Match->Port is not looked at: nothing of
// it is read but its device path.
BOOLEAN ScanUsbHandles(const DEVICE_MATCH *Match, EFI_USB_IO_PROTOCOL **Matched,
                       EFI_USB_DEVICE_DESCRIPTOR *MatchedDesc = NULL) {
  UINTN HandleCount = 0;
  EFI_HANDLE *HandleBuffer = NULL;
  (VOID) LocateUsbIoHandles(&HandleCount, &HandleBuffer, Match->Kind != MatchNotRom);

  BOOLEAN Found = FALSE;
  for (UINTN Index = 0; HandleBuffer != NULL && Index < HandleCount; Index++) {
    if (Match->Port != NULL) {
      KV_PORT_CHAIN Port;
      if (!KvrHandlePortChain(HandleBuffer[Index], &Port) || !KvrSamePort(&Port, Match->Port)) {
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
    BOOLEAN Hit;
    if (Match->Kind == MatchRomDevice) {
      Hit = IsRomDevice(&DeviceDesc, Match->Vid);
      if (Hit) {
        DebugMessage("Find DFU VID/PID = 3B5A/4C00\r\n");
      }
    } else if (Match->Kind == MatchNotRom) {
      Hit = !IsRomDevice(&DeviceDesc, Match->Vid);
    } else {
      Hit = DeviceDesc.IdVendor == Match->Vid && DeviceDesc.IdProduct == Match->Pid &&
                    DeviceDesc.BcdDevice == Match->Version
                ? TRUE
                : FALSE;
    }
    if (Hit) {
      Found = TRUE;
      if (Matched != NULL) {
        *Matched = UsbIo;
      }
      if (MatchedDesc != NULL) {
        *MatchedDesc = DeviceDesc;
      }
    }
  }
  if (HandleBuffer != NULL) {
    FreePool(HandleBuffer);
  }
  return Found;
}

// Up to DFU_WAIT_TRIES looks, each after DFU_WAIT_STALL_US.
BOOLEAN WaitForDevice(const DEVICE_MATCH *Match, EFI_USB_IO_PROTOCOL **Matched) {
  for (UINT32 Try = 0; Try < DFU_WAIT_TRIES; Try++) {
    BootServices->Stall(DFU_WAIT_STALL_US);
    if (ScanUsbHandles(Match, Matched)) {
      return TRUE;
    }
  }
  return FALSE;
}

}  // namespace

// ---------------------------------------------------------------- image

UINT64 DFUImageLength(UINT64 PayloadLength) {
  for (UINTN Index = 0; Index < DFU_IMAGE_SIZE_COUNT; Index++) {
    if (DfuImageSizeTable[Index].PayloadLength == PayloadLength) {
      return DfuImageSizeTable[Index].TransferLength;
    }
  }
  return PayloadLength;
}

BOOLEAN FindFwVersionBlock(const UINT8 *Payload, UINT64 PayloadLength, FwVersionBlock *Block,
                           UINT32 *Offset) {
  if (Payload == NULL) {
    return FALSE;
  }
  for (UINTN Index = 0; Index < FW_VERSION_BLOCK_CANDIDATES; Index++) {
    const UINT32 Candidate = FwVersionBlockOffsets[Index];
    if (!KvrRangeInside(Candidate, sizeof(FwVersionBlock), PayloadLength)) {
      continue;
    }
    const UINT8 *At = Payload + Candidate;
    if (At[0] != FW_VERSION_BLOCK_SIGNATURE_BYTE ||
        KvrReadU32(At + offsetof(FwVersionBlock, dwSignature)) != FW_VERSION_BLOCK_SIGNATURE) {
      continue;
    }
    KvrCopyMem(Block, At, sizeof(FwVersionBlock));
    if (Offset != NULL) {
      *Offset = Candidate;
    }
    return TRUE;
  }
  return FALSE;
}

UINT16 FwVersionOf(const FwVersionBlock *Block) {
  return Block->wChipId == FW_VERSION_A_CHIP_1 || Block->wChipId == FW_VERSION_A_CHIP_2
             ? Block->wFwVersionA
             : Block->wFwVersionB;
}

// ---------------------------------------------------------------- requests

BOOLEAN DFUAllowUpdateFW_4C15(EFI_USB_IO_PROTOCOL *UsbIo) {
  return LogWhenOk(SendNoDataRequest(UsbIo, DFU_ALLOW_UPDATE_REQUEST_TYPE, DFU_ALLOW_UPDATE_REQUEST,
                                     /* wValue */ DFU_ALLOW_UPDATE_VALUE, /* interface */ 0,
                                     "VendorSetCmd DFUAllowUpdateFW_4C15 fail!!\r\n"),
                   "DFUAllowUpdateFW_4C15 OK\r\n");
}

BOOLEAN DetachHideDFU_4C15(EFI_USB_IO_PROTOCOL *UsbIo) {
  return LogWhenOk(SendNoDataRequest(UsbIo, DFU_DETACH_HIDE_REQUEST_TYPE, DFU_DETACH_HIDE_REQUEST,
                                     /* wValue */ 0, /* interface */ 0,
                                     "VendorSetCmd DetachHideDFU_4C15 fail!!\r\n"),
                   "DetachHideDFU_4C15 OK\r\n");
}

BOOLEAN DetachDFU_4C15(EFI_USB_IO_PROTOCOL *UsbIo, UINT16 InterfaceNumber) {
  return LogWhenOk(SendNoDataRequest(UsbIo, DFU_REQUEST_TYPE_OUT, DFU_DETACH,
                                     /* wValue */ DFU_DETACH_TIMEOUT_MS,
                                     /* interface */ (UINT8)InterfaceNumber,
                                     "VendorSetCmd DetachDFU_4C15 fail!!\r\n"),
                   "VendorSetCmd DetachDFU_4C15 OK!!\r\n");
}

BOOLEAN DetachDFURom_4C15(EFI_USB_IO_PROTOCOL *RomUsbIo) {
  return SendNoDataRequest(RomUsbIo, DFU_REQUEST_TYPE_OUT, DFU_DETACH,
                           /* wValue */ DFU_ROM_DETACH_VALUE, /* interface */ DFU_ROM_INTERFACE,
                           "VendorSetCmd DetachDFU_4C15 fail!!\r\n");
}

// ---------------------------------------------------------------- waits and progress

BOOLEAN WaitForDFURomDevice(EFI_USB_IO_PROTOCOL **RomUsbIo, UINT16 Vid, const KV_PORT_CHAIN *Port) {
  const DEVICE_MATCH Match = {MatchRomDevice, Vid, 0, 0, Port};
  return WaitForDevice(&Match, RomUsbIo);
}

BOOLEAN FindDFURomDevice(EFI_USB_IO_PROTOCOL **RomUsbIo, UINT16 Vid, const KV_PORT_CHAIN *Port) {
  const DEVICE_MATCH Match = {MatchRomDevice, Vid, 0, 0, Port};
  return ScanUsbHandles(&Match, RomUsbIo);
}

BOOLEAN FindOtherRomDevice(UINT16 Vid, EFI_USB_DEVICE_DESCRIPTOR *Rom) {
  const DEVICE_MATCH Match = {MatchRomDevice, Vid, 0, 0, NULL};
  return ScanUsbHandles(&Match, NULL, Rom);
}

BOOLEAN WaitForUpdatedCamera(UINT16 Vid, UINT16 Pid, UINT16 Version, const KV_PORT_CHAIN *Port) {
  const DEVICE_MATCH Match = {MatchCamera, Vid, Pid, Version, Port};
  return WaitForDevice(&Match, NULL);
}

BOOLEAN CameraBackOnPort(UINT16 Vid, const KV_PORT_CHAIN *Port) {
  const DEVICE_MATCH Match = {MatchNotRom, Vid, 0, 0, Port};
  return ScanUsbHandles(&Match, NULL);
}


// ---------------------------------------------------------------- the procedure

EFI_STATUS DFUFwDownload(EFI_USB_IO_PROTOCOL *UsbIo, UINT16 Mode, UINT16 InterfaceNumber,
                         const UINT8 *Payload, UINT64 PayloadLength,
                         TARVEL_PROGRESS_PROTOCOL *Protocol, const DFU_TARGET *Target) {
  DebugMessage("DFUFwDownload() =>\r\n");
  EFI_USB_IO_PROTOCOL *RomUsbIo = NULL;
  KV_PROGRESS Progress = {Protocol, 0};
  UINT32 Accumulator = 0;

  const UINT64 Length = DFUImageLength(PayloadLength);
  if (Length > DFU_MAX_TRANSFER_LENGTH) {
    // The download counts its bytes in 32 signed bits: such an image cannot be sent whole.
    DebugMessage("Image size %lu is too large for a DFU download\r\n", Length);
    return EFI_INVALID_PARAMETER;
  }
  DebugMessage("Image size is OK\r\n");

  DFU_IN_FLIGHT_RECORD Record;
  if (!DFUInFlightRecordOf(Payload, PayloadLength, Target, &Record)) {
    DebugMessage("Failed to get FW version.\nFW file missed some patch.\r\n");
    return EFI_INVALID_PARAMETER;
  }
  DebugMessage("Prepare to write FW. The new FW : VID = %x, PID = %x, FWVersion = %x\r\n",
               (UINT32)Record.wFwVID, (UINT32)Record.wFwPID, (UINT32)Record.wFwVersion);
  // The waits accept only a device on the camera's port: without it any camera of the chip
  // family could be taken for this one.
  const KV_PORT_CHAIN *Port = &Record.Port;
  if (Port->Length == 0) {
    DebugMessage("The camera's USB port is not known: no DFU update\r\n");
    return EFI_INVALID_PARAMETER;
  }

  // A resume works on the record that brought it here; otherwise the record exists only
  // once this run has written it.
  BOOLEAN RecordHeld = UsbIo == NULL ? TRUE : FALSE;
  // The results of these requests are not judged here: whether the camera went, shows in
  // whether its DFU ROM device comes.
  if (UsbIo != NULL) {
    DebugMessage("USBIO = %x\r\n", (UINT32)(UINTN)UsbIo);
    if (!DFUAllowUpdateFW_4C15(UsbIo) && !KvrUsbPresent(UsbIo)) {
      // Nothing more to send: whether the camera comes back as its ROM device shows below.
    } else {
      RecordHeld = DFUWriteInFlightRecord(&Record);
      if (Mode == UPDATE_MODE_DFU) {
        (VOID) DetachDFU_4C15(UsbIo, InterfaceNumber);
        BootServices->Stall(DFU_DETACH_SETTLE_US);
      } else {
        (VOID) DetachHideDFU_4C15(UsbIo);
      }
    }
  }
  Accumulator += DFU_PROGRESS_STEP;
  KvrProgress(&Progress, (INT32)Accumulator);

  if (!WaitForDFURomDevice(&RomUsbIo, Record.wFwVID, Port)) {
    DebugMessage("Reset and can't find DFU ROM device\r\n");
    DFUSettleInFlightRecord(RecordHeld, FALSE, &Record);
    return EFI_DEVICE_ERROR;
  }

  const BOOLEAN Transferred = DFUDump(RomUsbIo, Payload, (INT32)Length, &Accumulator,
                                      DFU_PROGRESS_TRANSFER, &Progress);
  KvrProgress(&Progress, DFU_PROGRESS_TRANSFERRED);
  // Even after a failed transfer the ROM device is told to leave and the camera is awaited,
  // so that the camera is not left as its ROM device. Whatever identity it comes back with,
  // it cannot hold the whole image then: the update has failed. A ROM device that has left
  // the bus (power lost) is not there to be told.
  if (Transferred || KvrUsbPresent(RomUsbIo)) {
    (VOID) DetachDFURom_4C15(RomUsbIo);
  }
  const BOOLEAN CameraBack =
      WaitForUpdatedCamera(Record.wFwVID, Record.wFwPID, Record.wFwVersion, Port);
  DFUSettleInFlightRecord(RecordHeld, CameraBack, &Record);
  if (!Transferred) {
    DebugMessage("DFU download failed, update not complete\r\n");
  } else if (CameraBack) {
    // The accumulator and 2 (100 for a whole download), then 100: done.
    KvrProgress(&Progress, (INT32)(Accumulator + DFU_PROGRESS_STEP), TRUE);
    KvrProgress(&Progress, KV_PROGRESS_MAX, TRUE);
    DebugMessage("DFUFwDownload OK() <=\r\n");
    return EFI_SUCCESS;
  }
  DebugMessage("DFUFwDownload() <=\r\n");
  return EFI_DEVICE_ERROR;
}
