// Finds the capsule: the first capsule HOB, else the "CapsuleOnRam" variable; on INSYDE
// platforms the FMP capsule named by the "KorvaneCameraCapsuleAddress" variable.
#include "Capsule.h"

EFI_CAPSULE_HEADER *pCapsuleHeader = NULL;
UINT32 dwCapsuleLength = 0;
UINT32 dwImageLength = 0;

namespace {

EFI_GUID gCapsuleAddressVariableGuid = KV_CAPSULE_ADDRESS_VARIABLE_GUID;

// Finds the first capsule HOB. Both the PI 1.8 UEFI capsule HOB and the older capsule
// volume HOB carry BaseAddress at offset 8 and Length at offset 16.
BOOLEAN FindCapsuleHob(const UINT8 *Hob, UINT64 *BaseAddress, UINT64 *Length) {
  for (UINTN Count = 0; Count < KV_MAX_HOBS; Count++) {
    UINT16 HobType = KvrReadU16(Hob + offsetof(EFI_HOB_GENERIC_HEADER, HobType));
    UINT16 HobLength = KvrReadU16(Hob + offsetof(EFI_HOB_GENERIC_HEADER, HobLength));
    if (HobType == EFI_HOB_TYPE_END_OF_HOB_LIST) {
      return FALSE;
    }
    if (HobType == EFI_HOB_TYPE_UEFI_CAPSULE || HobType == EFI_HOB_TYPE_CV) {
      if (HobLength < sizeof(EFI_HOB_UEFI_CAPSULE)) {
        DebugMessage("Capsule HOB is too short (%d bytes).\n", (INT32)HobLength);
        return FALSE;
      }
      *BaseAddress = KvrReadU64(Hob + offsetof(EFI_HOB_UEFI_CAPSULE, BaseAddress));
      *Length = KvrReadU64(Hob + offsetof(EFI_HOB_UEFI_CAPSULE, Length));
      return TRUE;
    }
    if (HobLength < sizeof(EFI_HOB_GENERIC_HEADER)) {
      DebugMessage("HOB list is malformed: HOB of type 0x%x with length %d.\n", (UINT32)HobType,
                   (INT32)HobLength);
      return FALSE;
    }
    Hob += HobLength;
  }
  DebugMessage("HOB list has no end within %d HOBs.\n", (INT32)KV_MAX_HOBS);
  return FALSE;
}

}  // namespace

VOID *ReadCapsuleOnRam(UINT32 *Attributes, UINT64 *DataSize) {
  UINTN Size = 0;
  EFI_STATUS Status = RuntimeServices->GetVariable((CHAR16 *)KV_CAPSULE_ON_RAM_NAME,
                                                   &gEfiCapsuleVendorGuid, Attributes, &Size, NULL);
  if (Status != EFI_BUFFER_TOO_SMALL) {
    return NULL;
  }
  VOID *Buffer = AllocatePool(Size);
  if (Buffer == NULL) {
    return NULL;
  }
  Status = RuntimeServices->GetVariable((CHAR16 *)KV_CAPSULE_ON_RAM_NAME, &gEfiCapsuleVendorGuid,
                                        Attributes, &Size, Buffer);
  *DataSize = EFI_ERROR(Status) ? 0 : Size;
  return Buffer;
}

EFI_STATUS LocateCapsule() {
  VOID *HobList = NULL;
  BOOLEAN HobListFound = FALSE;
  for (UINTN Index = 0; Index < SystemTable->NumberOfTableEntries; Index++) {
    if (KvrCompareGuid(&SystemTable->ConfigurationTable[Index].VendorGuid, &gEfiHobListGuid)) {
      HobList = SystemTable->ConfigurationTable[Index].VendorTable;
      HobListFound = TRUE;
      break;
    }
  }
  if (!HobListFound) {
    DebugMessage("Fail to get HOB.\n");
    return EFI_NOT_FOUND;
  }
  if (HobList == NULL) {
    DebugMessage("Fail to check capsule image.\n");
    return EFI_INVALID_PARAMETER;
  }

  pCapsuleHeader = NULL;
  dwCapsuleLength = 0;

  UINT64 BaseAddress = 0;
  UINT64 Length = 0;
  if (FindCapsuleHob((const UINT8 *)HobList, &BaseAddress, &Length)) {
    if (BaseAddress == 0) {
      DebugMessage("Capsule address is NULL.\n");
      DebugMessage("Fail to check capsule image.\n");
      return EFI_NOT_FOUND;
    }
    pCapsuleHeader = (EFI_CAPSULE_HEADER *)(UINTN)BaseAddress;
    dwCapsuleLength = (UINT32)Length;
    return EFI_SUCCESS;
  }

  UINT32 Attributes = 0;
  UINT64 DataSize = 0;
  VOID *Data = ReadCapsuleOnRam(&Attributes, &DataSize);
  if (Data == NULL || DataSize != sizeof(UINT64)) {
    DebugMessage("Variable for capsule is not found.\n");
  } else if (Attributes != KV_CAPSULE_ON_RAM_ATTRIBUTES) {
    DebugMessage("Attribute of capsule is invalid. Attribute = %X\n", Attributes);
  } else {
    BaseAddress = KvrReadU64((const UINT8 *)Data);
    if (BaseAddress == 0) {
      DebugMessage("Capsule address is NULL.\n");
    } else {
      FreePool(Data);
      pCapsuleHeader = (EFI_CAPSULE_HEADER *)(UINTN)BaseAddress;
      dwCapsuleLength = pCapsuleHeader->CapsuleImageSize;
      return EFI_SUCCESS;
    }
  }
  if (Data != NULL) {
    FreePool(Data);
  }
  DebugMessage("Fail to check capsule image.\n");
  return EFI_NOT_FOUND;
}

VOID *GetImageFromAddressVariable() {
  DebugMessage("Inside BIOS Prepare to Get KorvaneCameraCapsuleAddress\n");
  UINT8 Data[sizeof(UINT64)] = {0};
  UINTN DataSize = sizeof(Data);
  EFI_STATUS Status = RuntimeServices->GetVariable((CHAR16 *)KV_CAPSULE_ADDRESS_NAME,
                                                   &gCapsuleAddressVariableGuid, NULL, &DataSize,
                                                   Data);
  if (EFI_ERROR(Status)) {
    return NULL;
  }
  if (DataSize != sizeof(Data)) {
    DebugMessage("KorvaneCameraCapsuleAddress holds %d bytes, not an 8-byte address.\n",
                 (INT32)DataSize);
    return NULL;
  }
  UINT64 Address = KvrReadU64(Data);
  DebugMessage("KorvaneCameraCapsuleAddress = %x\n", (UINT32)Address);
  if (Address == 0) {
    DebugMessage("Capsule address is NULL.\n");
    return NULL;
  }
  VOID *Image = NULL;
  GetFmpPayloadImage((EFI_CAPSULE_HEADER *)(UINTN)Address, &Image);
  return Image;
}

EFI_STATUS GetFmpPayloadImage(EFI_CAPSULE_HEADER *Capsule, VOID **Image) {
  const UINT8 *Base = (const UINT8 *)Capsule;
  GetFmpImageWithin(Base, KvrReadU32(Base + offsetof(EFI_CAPSULE_HEADER, CapsuleImageSize)),
                    Image);
  return EFI_SUCCESS;
}

namespace {

VOID ReportFmpFault(KV_FMP_FAULT Fault, const KV_FMP_CAPSULE *Fmp) {
  if (Fault <= KV_FMP_LIST_OUTSIDE) {
    DebugMessage("FMP capsule refused: %a.\n", KvFmpFaultText(Fault));
  } else {
    DebugMessage("FMP capsule refused at list entry %d: %a (0x%lx).\n", (INT32)Fmp->FaultEntry,
                 KvFmpFaultText(Fault), Fmp->FaultValue);
  }
}

}  // namespace

VOID GetFmpImageWithin(const UINT8 *Capsule, UINT64 Size, VOID **Image) {
  KV_FMP_CAPSULE Fmp;
  KV_FMP_FAULT Fault = KvFmpOpen(Capsule, Size, &Fmp);
  if (Fault == KV_FMP_HEADER_OUTSIDE) {
    ReportFmpFault(Fault, &Fmp);
    return;
  }
  // Diagnostic bytes, each printed only when it lies inside the capsule.
  static const struct {
    UINT8 Offset;
    const CHAR8 *Format;
  } kTempData[] = {{8, "1 TempData = %x\n"}, {16, "2 TempData = %x\n"}, {17, "3 TempData = %x\n"}};
  for (UINTN Line = 0; Line < sizeof(kTempData) / sizeof(kTempData[0]); Line++) {
    if (kTempData[Line].Offset < Fmp.Size) {
      DebugMessage(kTempData[Line].Format, (INT32)(INT8)Fmp.Fmp[kTempData[Line].Offset]);
    }
  }
  // Every payload item must pass the checks EDK II's capsule library makes: one that does
  // not marks the capsule as corrupted and yields no image at all. The last item wins.
  KV_FMP_ITEM Item;
  for (UINT32 Index = 0; Fault == KV_FMP_OK && Index < Fmp.ItemCount; Index++) {
    Fault = KvFmpItem(&Fmp, Index, &Item);
  }
  KV_FMP_IMAGE Camera;
  if (Fault == KV_FMP_OK && Fmp.ItemCount > 0) {
    Fault = KvFmpImage(&Fmp, &Item, &Camera);
  }
  if (Fault != KV_FMP_OK) {
    ReportFmpFault(Fault, &Fmp);
    return;
  }
  if (Fmp.ItemCount == 0) {
    return;
  }
  if (Camera.Length > 0) {
    DebugMessage("Final TempData = %x\n", (INT32)(INT8)Camera.Data[0]);
  }
  *Image = (VOID *)Camera.Data;
  dwImageLength = (UINT32)Camera.Length;
}
