// The in-flight record of a DFU update, and the resume of an update that a power loss cut
// short in the DFU ROM device.
#include "Dfu.h"
#include "driver/PrivateData.h"

namespace {

EFI_GUID InFlightGuid = DFU_IN_FLIGHT_GUID;
CHAR16 InFlightName[] = DFU_IN_FLIGHT_NAME;

}  // namespace

BOOLEAN DFUInFlightRecordOf(const UINT8 *Payload, UINT64 PayloadLength, const DFU_TARGET *Target,
                            DFU_IN_FLIGHT_RECORD *Record) {
  KvrSetMem(Record, sizeof(*Record), 0);
  FwVersionBlock Block;
  if (!FindFwVersionBlock(Payload, PayloadLength, &Block, NULL)) {
    return FALSE;
  }
  Record->dwSignature = DFU_IN_FLIGHT_SIGNATURE;
  Record->wVersion = DFU_IN_FLIGHT_VERSION;
  Record->wFwVID = Block.wVID;
  Record->wFwPID = Block.wPID;
  Record->wFwVersion = FwVersionOf(&Block);
  if (Target != NULL) {
    Record->wImageVID = Target->wImageVID;
    Record->wImagePID = Target->wImagePID;
    if (Target->Port != NULL) {
      Record->Port = *Target->Port;
    }
  }
  // What the download sends of the payload; an image too long for a download is refused
  // before any record is written, and one with nothing to send has nothing to check.
  const UINT64 Length = DFUImageLength(PayloadLength);
  const INT32 Sent = Length <= DFU_MAX_TRANSFER_LENGTH ? DFUTransferLength(Payload, (INT32)Length) : 0;
  if (Sent > 0) {
    Record->dwLength = (UINT32)Sent;
    UINT32 Crc = 0;
    if (!EFI_ERROR(BootServices->CalculateCrc32((VOID *)Payload, (UINTN)Sent, &Crc))) {
      Record->dwCrc32 = Crc;
    }
  }
  return TRUE;
}

BOOLEAN DFUReadInFlightRecord(DFU_IN_FLIGHT_RECORD *Record) {
  UINT32 Attributes = 0;
  UINTN Size = sizeof(*Record);
  const EFI_STATUS Status =
      RuntimeServices->GetVariable(InFlightName, &InFlightGuid, &Attributes, &Size, Record);
  // Only a record this driver can have written: a variable an operating system can reach
  // (run-time access) is not one.
  return !EFI_ERROR(Status) && Size == sizeof(*Record) && Attributes == DFU_IN_FLIGHT_ATTRIBUTES &&
                 Record->dwSignature == DFU_IN_FLIGHT_SIGNATURE &&
                 Record->wVersion == DFU_IN_FLIGHT_VERSION && Record->Port.Length != 0 &&
                 Record->Port.Length <= KV_PORT_CHAIN_MAX
             ? TRUE
             : FALSE;
}

BOOLEAN DFUWriteInFlightRecord(const DFU_IN_FLIGHT_RECORD *Record) {
  const EFI_STATUS Status =
      RuntimeServices->SetVariable(InFlightName, &InFlightGuid, DFU_IN_FLIGHT_ATTRIBUTES,
                                   sizeof(*Record), (VOID *)Record);
  if (EFI_ERROR(Status)) {
    DebugMessage("In-flight record not written (%r): an interrupted update could not be resumed\r\n",
                 Status);
    return FALSE;
  }
  return TRUE;
}

VOID DFUSettleInFlightRecord(BOOLEAN RecordHeld, BOOLEAN CameraBack,
                             const DFU_IN_FLIGHT_RECORD *Record) {
  if (!RecordHeld || (!CameraBack && !CameraBackOnPort(Record->wFwVID, &Record->Port))) {
    return;  // the camera may still be stranded as its ROM device: the record stays
  }
  (VOID) RuntimeServices->SetVariable(InFlightName, &InFlightGuid, 0, 0, NULL);
}

BOOLEAN DFUResumeInterrupted(const UINT8 *Payload, UINT64 PayloadLength, UINT16 ImageVid,
                             UINT16 ImagePid, TARVEL_PROGRESS_PROTOCOL *Progress,
                             EFI_STATUS *Status) {
  DFU_IN_FLIGHT_RECORD Stored;
  DFU_TARGET Target = {&Stored.Port, ImageVid, ImagePid};
  DFU_IN_FLIGHT_RECORD Expected;
  const BOOLEAN HasBlock = DFUInFlightRecordOf(Payload, PayloadLength, &Target, &Expected);
  const UINT16 Vid = HasBlock ? Expected.wFwVID : (UINT16)DFU_ROM_VID;

  // This image's update, cut short on the recorded port, with the ROM device there.
  EFI_USB_IO_PROTOCOL *RomUsbIo = NULL;
  if (HasBlock && DFUReadInFlightRecord(&Stored)) {
    Expected.Port = Stored.Port;
    if (KvrCompareMem(&Expected, &Stored, sizeof(Stored)) &&
        FindDFURomDevice(&RomUsbIo, Vid, &Stored.Port)) {
      DebugMessage("No camera matched, DFU ROM device found: resume the interrupted update\r\n");
      *Status = DFUFwDownload(NULL, UPDATE_MODE_DFU, 0, Payload, PayloadLength, Progress, &Target);
      if (!EFI_ERROR(*Status)) {
        DebugMessage("Update FW success\r\n");
      }
      return TRUE;
    }
  }

  // Any other ROM device of the chip family is not this run's to write: nothing says whose
  // it is, and it may be this very camera, stranded before a record could be written.
  EFI_USB_DEVICE_DESCRIPTOR Rom;
  if (!FindOtherRomDevice(Vid, &Rom)) {
    return FALSE;
  }
  DebugMessage("DFU ROM device %04X:%04X left alone: no interrupted update of this image on its port\r\n",
               (UINT32)Rom.IdVendor, (UINT32)Rom.IdProduct);
  *Status = EFI_NOT_READY;
  return TRUE;
}
