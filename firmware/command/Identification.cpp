// Identification and mode commands: chip and firmware information, the identification
// answer, and the restarts into update mode and into newly written code.
#include "Command.h"

namespace {

// Points cmdGetInfo at one 8-byte piece of the device information.
VOID SelectInfoPiece(UINT16 Piece) {
  cmdGetInfo[2] = (UINT8)(Piece & 0xFF);
  cmdGetInfo[3] = (UINT8)(Piece >> 8);
  cmdGetInfo[4] = (UINT8)(KV_DEVICE_INFO_PIECE_LENGTH & 0xFF);
  cmdGetInfo[5] = (UINT8)(KV_DEVICE_INFO_PIECE_LENGTH >> 8);
}

UINT16 ReadBigEndian16(const UINT8 *P) { return (UINT16)((P[0] << 8) | P[1]); }

// One 8-byte piece of the device information into Answer: the command block that selects
// it, then its answer. A failure logs Caller's line for the step that failed.
EFI_STATUS ReadInfoPiece(EFI_USB_IO_PROTOCOL *UsbIo, UINT16 Piece, UINT8 *Answer,
                         const CHAR16 *Caller) {
  SelectInfoPiece(Piece);
  EFI_STATUS Status = VendorSetCmd(UsbIo, cmdGetInfo);
  if (EFI_ERROR(Status)) {
    LogError("%s failed: DevSetCmd %r\n", Caller, Status);
    return Status;
  }
  Status = VendorGetCmd(UsbIo, Answer);
  if (EFI_ERROR(Status)) {
    LogError("%s failed: DevGetData %r\n", Caller, Status);
  }
  return Status;
}

// The identification answer of a supported camera, with its terminating zero.
constexpr CHAR8 kDevQualifyAnswer[KV_COMMAND_BLOCK_LENGTH] = KV_DEV_QUALIFY_ANSWER;

}  // namespace

EFI_STATUS GetChipInfo_VendorCmd(EFI_USB_IO_PROTOCOL *UsbIo, UINT16 *ChipVid, UINT16 *ChipId) {
  *ChipVid = 0;
  *ChipId = 0;

  // Zeroed, so that a short answer reads as zeros rather than as whatever the stack held.
  UINT8 Answer[KV_COMMAND_BLOCK_LENGTH] = {0};
  EFI_STATUS Status = ReadInfoPiece(UsbIo, 0, Answer, u"GetChipInfo_VendorCmd");
  if (EFI_ERROR(Status)) {
    return Status;
  }
  *ChipVid = KvrReadU16(&Answer[0]);
  *ChipId = KvrReadU16(&Answer[2]);
  LogInfo("VendorCMD:Chip VID_%04X PID_%04X\r\n", (UINT32)*ChipVid, (UINT32)*ChipId);
  return Status;
}

EFI_STATUS GetFwInfo_VendorCmd(EFI_USB_IO_PROTOCOL *UsbIo, FwInfo *Info) {
  UINT8 Buffer[KV_DEVICE_INFO_LENGTH] = {0};
  EFI_STATUS Status = EFI_SUCCESS;
  for (UINT16 Piece = 0; Piece < KV_DEVICE_INFO_LENGTH / KV_DEVICE_INFO_PIECE_LENGTH; Piece++) {
    Status = ReadInfoPiece(UsbIo, Piece, &Buffer[Piece * KV_DEVICE_INFO_PIECE_LENGTH],
                           u"GetFwInfo_VendorCmd");
    if (EFI_ERROR(Status)) {
      return Status;
    }
  }

  // VID, PID and FW are little-endian; HW and REV are big-endian.
  Info->wVID = KvrReadU16(&Buffer[0]);
  Info->wPID = KvrReadU16(&Buffer[2]);
  Info->wFW = KvrReadU16(&Buffer[4]);
  Info->wHW = ReadBigEndian16(&Buffer[6]);
  Info->wREV = ReadBigEndian16(&Buffer[70]);
  LogInfo("VendorCMD:VID_%04X PID_%04X FW_%04X REV_%04X HW_%04X\n", (UINT32)Info->wVID,
          (UINT32)Info->wPID, (UINT32)Info->wFW, (UINT32)Info->wREV, (UINT32)Info->wHW);
  return Status;
}

BOOLEAN CheckRomCode(EFI_USB_IO_PROTOCOL *UsbIo) {
  FwInfo Info;
  return EFI_ERROR(GetFwInfo_VendorCmd(UsbIo, &Info)) ? TRUE : FALSE;
}

BOOLEAN ResetToUpdateFW(EFI_USB_IO_PROTOCOL *UsbIo) {
  return SendVendorCommand(UsbIo, VendorReqResetToUpdateFW,
                           /* wValue */ KV_RESET_TO_UPDATE_FW_VALUE,
                           /* wIndex */ KV_RESET_TO_UPDATE_FW_INDEX, NULL, 0);
}

BOOLEAN ResetToRom(EFI_USB_IO_PROTOCOL *UsbIo) {
  // Not VendorSetCmd: a camera that is restarting is not sent the recovery block.
  EFI_STATUS Status = SendCommandBlock(UsbIo, cmdResetToDLFW);
  if (EFI_ERROR(Status)) {
    DebugMessage("VendorSetCmd cmdResetToDLFW fail!!\r\n");
    LogError("VendorSetCmd cmdResetToDLFW fail, Status %r, entity id %d,len %d\n", Status,
             (INT32)XuUnitId, (INT32)KV_COMMAND_BLOCK_LENGTH);
    return FALSE;
  }
  return TRUE;
}

BOOLEAN GetDevQualify(EFI_USB_IO_PROTOCOL *UsbIo, UINT8 *Answer) {
  EFI_STATUS Status = SendCommandBlock(UsbIo, cmdGetDevQualify);
  if (EFI_ERROR(Status)) {
    LogInfo("VendorSetCmd fail, Status = 0x%08X, entity id %d,len %d\n", (UINT32)Status,
            (INT32)XuUnitId, (INT32)KV_COMMAND_BLOCK_LENGTH);
    if (KvrUsbPresent(UsbIo)) {
      (VOID) VendorSetCmd(UsbIo, cmdRecovery);
    }
    return FALSE;
  }

  // Cleared first: a short answer must not pass on what the buffer held before.
  KvrSetMem(Answer, KV_COMMAND_BLOCK_LENGTH, 0);
  Status = ReadCommandAnswer(UsbIo, Answer);
  if (EFI_ERROR(Status)) {
    LogInfo("VendorGetData fail, Status = 0x%08x\n", (UINT32)Status);
    if (KvrUsbPresent(UsbIo)) {
      (VOID) VendorSetCmd(UsbIo, cmdRecovery);
    }
    return FALSE;
  }

  // Compared as a zero-terminated string within the 8 bytes: "VOSKARN" and its zero.
  for (UINTN I = 0; I < KV_COMMAND_BLOCK_LENGTH; I++) {
    if (Answer[I] != (UINT8)kDevQualifyAnswer[I]) {
      return FALSE;
    }
    if (Answer[I] == 0) {
      break;
    }
  }
  DebugMessage("Send Control Request and get VOSKARN OK\n");
  return TRUE;
}
