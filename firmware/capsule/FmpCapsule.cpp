// The walk of an FMP capsule and its payload items. Freestanding and free of platform
// services: besides the driver, kvrcap and the emulator's harness link this file alone.
#include "Capsule.h"

namespace {

constexpr UINT64 kListStart = sizeof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER);

const CHAR8 *const kFaultText[] = {
    "no fault",
    "the FMP capsule header lies outside the capsule",
    "the item offset list lies outside the capsule",
    "the entry points at or past the capsule end",
    "the entry points into the FMP header or its offset list",
    "the entry is not above the one before it",
    "the item is shorter than its header",
    "the item header's version is not 1, 2 or 3",
    "the item's span is not its header + UpdateImageSize + UpdateVendorCodeSize",
    "the image authentication does not fit the image",
    "the FMP payload header's size does not fit the image",
};
static_assert(sizeof(kFaultText) / sizeof(kFaultText[0]) == KV_FMP_PAYLOAD_HEADER_SIZE + 1);

const UINT8 kPkcs7CertType[sizeof(EFI_GUID)] = {0x9D, 0xD2, 0xAF, 0x4A, 0xDF, 0x68, 0xEE, 0x49,
                                                0x8A, 0xA9, 0x34, 0x7D, 0x37, 0x56, 0x65, 0xA7};

KV_FMP_FAULT Refuse(KV_FMP_CAPSULE *Fmp, KV_FMP_FAULT Fault, UINT32 Entry, UINT64 Value) {
  Fmp->FaultEntry = Entry;
  Fmp->FaultValue = Value;
  return Fault;
}

// Compared here rather than with the platform layer's helpers, which this file does not link.
BOOLEAN SameBytes(const UINT8 *A, const UINT8 *B, UINTN Length) {
  for (UINTN I = 0; I < Length; I++) {
    if (A[I] != B[I]) {
      return FALSE;
    }
  }
  return TRUE;
}

UINT64 ListEntry(const KV_FMP_CAPSULE *Fmp, UINT32 Position) {
  return KvrReadU64(Fmp->Fmp + kListStart + (UINT64)Position * sizeof(UINT64));
}

}  // namespace

const CHAR8 *KvFmpFaultText(KV_FMP_FAULT Fault) {
  return Fault <= KV_FMP_PAYLOAD_HEADER_SIZE ? kFaultText[Fault] : "unknown fault";
}

KV_FMP_FAULT KvFmpOpen(const UINT8 *Capsule, UINT64 Size, KV_FMP_CAPSULE *Fmp) {
  *Fmp = {};
  if (!KvrRangeInside(0, sizeof(EFI_CAPSULE_HEADER), Size)) {
    return Refuse(Fmp, KV_FMP_HEADER_OUTSIDE, 0, Size);
  }
  const UINT64 HeaderSize = KvrReadU32(Capsule + offsetof(EFI_CAPSULE_HEADER, HeaderSize));
  if (!KvrRangeInside(HeaderSize, sizeof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER), Size)) {
    return Refuse(Fmp, KV_FMP_HEADER_OUTSIDE, 0, HeaderSize);
  }
  Fmp->Fmp = Capsule + HeaderSize;
  Fmp->Size = Size - HeaderSize;
  Fmp->Version = KvrReadU32(Fmp->Fmp + offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER, Version));
  Fmp->DriverCount =
      KvrReadU16(Fmp->Fmp + offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER, EmbeddedDriverCount));
  Fmp->ItemCount =
      KvrReadU16(Fmp->Fmp + offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER, PayloadItemCount));
  const UINT32 Entries = (UINT32)Fmp->DriverCount + Fmp->ItemCount;
  if (!KvrArrayInside(kListStart, Entries, sizeof(UINT64), Fmp->Size)) {
    return Refuse(Fmp, KV_FMP_LIST_OUTSIDE, 0, Entries);
  }
  const UINT64 ListEnd = kListStart + (UINT64)Entries * sizeof(UINT64);
  for (UINT32 Position = 0; Position < Entries; Position++) {
    const UINT64 Offset = ListEntry(Fmp, Position);
    if (Offset >= Fmp->Size) {
      return Refuse(Fmp, KV_FMP_ENTRY_OUTSIDE, Position, Offset);
    }
    if (Offset < ListEnd) {
      return Refuse(Fmp, KV_FMP_ENTRY_IN_LIST, Position, Offset);
    }
    if (Position > 0 && Offset <= ListEntry(Fmp, Position - 1)) {
      return Refuse(Fmp, KV_FMP_ENTRY_NOT_ASCENDING, Position, Offset);
    }
  }
  return KV_FMP_OK;
}

UINT64 KvFmpEntry(const KV_FMP_CAPSULE *Fmp, UINT32 Position, UINT64 *Span) {
  const UINT64 Offset = ListEntry(Fmp, Position);
  const UINT32 Entries = (UINT32)Fmp->DriverCount + Fmp->ItemCount;
  const UINT64 End = Position + 1 < Entries ? ListEntry(Fmp, Position + 1) : Fmp->Size;
  *Span = End - Offset;  // the entries ascend, the last one below Size: no wrap
  return Offset;
}

KV_FMP_FAULT KvFmpItem(KV_FMP_CAPSULE *Fmp, UINT32 Index, KV_FMP_ITEM *Item) {
  const UINT32 Position = (UINT32)Fmp->DriverCount + Index;
  UINT64 Span = 0;
  const UINT64 Offset = KvFmpEntry(Fmp, Position, &Span);
  if (Span < EFI_FMP_CAPSULE_IMAGE_HEADER_V1_SIZE) {
    return Refuse(Fmp, KV_FMP_ITEM_SHORT, Position, Span);
  }
  const UINT8 *Header = Fmp->Fmp + Offset;
  const UINT32 Version =
      KvrReadU32(Header + offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, Version));
  UINT32 HeaderSize = sizeof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER);
  if (Version == 1) {
    HeaderSize = EFI_FMP_CAPSULE_IMAGE_HEADER_V1_SIZE;
  } else if (Version == 2) {
    HeaderSize = EFI_FMP_CAPSULE_IMAGE_HEADER_V2_SIZE;
  } else if (Version != EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER_INIT_VERSION) {
    return Refuse(Fmp, KV_FMP_ITEM_VERSION, Position, Version);
  }
  if (Span < HeaderSize) {
    return Refuse(Fmp, KV_FMP_ITEM_SHORT, Position, Span);
  }
  const UINT32 ImageSize =
      KvrReadU32(Header + offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, UpdateImageSize));
  const UINT32 VendorCodeSize = KvrReadU32(
      Header + offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, UpdateVendorCodeSize));
  if (Span != (UINT64)HeaderSize + ImageSize + VendorCodeSize) {
    return Refuse(Fmp, KV_FMP_ITEM_SPAN, Position, Span);
  }
  Item->Header = Header;
  Item->Position = Position;
  Item->Version = Version;
  Item->HeaderSize = HeaderSize;
  Item->ImageSize = ImageSize;
  Item->Image = Header + HeaderSize;
  return KV_FMP_OK;
}

KV_FMP_FAULT KvFmpImage(KV_FMP_CAPSULE *Fmp, const KV_FMP_ITEM *Item, KV_FMP_IMAGE *Image) {
  const UINT8 *Data = Item->Image;
  const UINT64 Size = Item->ImageSize;
  UINT64 At = 0;
  // The authentication: a WIN_CERTIFICATE_UEFI_GUID of the PKCS7 type after the count.
  constexpr UINT64 kCert = offsetof(EFI_FIRMWARE_IMAGE_AUTHENTICATION, AuthInfo);
  if (KvrRangeInside(0, sizeof(EFI_FIRMWARE_IMAGE_AUTHENTICATION), Size) &&
      KvrReadU16(Data + kCert + offsetof(WIN_CERTIFICATE, wCertificateType)) ==
          WIN_CERT_TYPE_EFI_GUID &&
      SameBytes(Data + kCert + offsetof(WIN_CERTIFICATE_UEFI_GUID, CertType), kPkcs7CertType,
                sizeof(kPkcs7CertType))) {
    const UINT64 Length = KvrReadU32(Data + kCert + offsetof(WIN_CERTIFICATE, dwLength));
    if (Length < sizeof(WIN_CERTIFICATE_UEFI_GUID) || !KvrRangeInside(kCert, Length, Size)) {
      return Refuse(Fmp, KV_FMP_AUTH_LENGTH, Item->Position, Length);
    }
    At = kCert + Length;
  }
  Image->AuthLength = At;
  // The payload header, by its signature.
  UINT32 PayloadHeaderSize = 0;
  if (KvrRangeInside(At, sizeof(UINT32), Size) &&
      KvrReadU32(Data + At + offsetof(FMP_PAYLOAD_HEADER, Signature)) ==
          FMP_PAYLOAD_HEADER_SIGNATURE) {
    PayloadHeaderSize = KvrRangeInside(At, sizeof(FMP_PAYLOAD_HEADER), Size)
                            ? KvrReadU32(Data + At + offsetof(FMP_PAYLOAD_HEADER, HeaderSize))
                            : 0;
    if (PayloadHeaderSize < sizeof(FMP_PAYLOAD_HEADER) ||
        !KvrRangeInside(At, PayloadHeaderSize, Size)) {
      return Refuse(Fmp, KV_FMP_PAYLOAD_HEADER_SIZE, Item->Position, PayloadHeaderSize);
    }
    At += PayloadHeaderSize;
  }
  Image->PayloadHeaderSize = PayloadHeaderSize;
  Image->Data = Data + At;
  Image->Length = Size - At;
  return KV_FMP_OK;
}
