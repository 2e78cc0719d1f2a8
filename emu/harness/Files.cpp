// Reading files from the volume the harness was loaded from.
#include "emu/harness/Harness.h"

namespace harness {

namespace {

EFI_GUID gLoadedImageGuid = HARNESS_LOADED_IMAGE_PROTOCOL_GUID;
EFI_GUID gSimpleFileSystemGuid = HARNESS_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;
EFI_GUID gFileInfoGuid = HARNESS_FILE_INFO_ID;

// The file information record: the fixed part and a file name of up to 255 characters.
constexpr UINTN kInfoBytes = sizeof(EFI_FILE_INFO) + 256 * sizeof(CHAR16);
// Read calls per file; FAT on a virtual disk returns whole files in one or a few.
constexpr UINTN kMaxReads = 4096;

EFI_STATUS FileSize(EFI_FILE_PROTOCOL *File, UINT64 *Size) {
  alignas(8) UINT8 info[kInfoBytes];
  UINTN size = sizeof(info);
  const EFI_STATUS status = File->GetInfo(File, &gFileInfoGuid, &size, info);
  if (EFI_ERROR(status)) {
    return status;
  }
  if (size < sizeof(EFI_FILE_INFO)) {
    return EFI_DEVICE_ERROR;
  }
  const EFI_FILE_INFO *fileInfo = reinterpret_cast<const EFI_FILE_INFO *>(info);
  if ((fileInfo->Attribute & EFI_FILE_DIRECTORY) != 0) {
    return EFI_NOT_FOUND;
  }
  *Size = fileInfo->FileSize;
  return EFI_SUCCESS;
}

}  // namespace

EFI_STATUS OpenOwnVolume(EFI_FILE_PROTOCOL **Root) {
  EFI_LOADED_IMAGE_PROTOCOL *loaded = NULL;
  EFI_STATUS status =
      gBS->HandleProtocol(gImage, &gLoadedImageGuid, reinterpret_cast<VOID **>(&loaded));
  if (EFI_ERROR(status) || loaded == NULL) {
    return EFI_ERROR(status) ? status : EFI_NOT_FOUND;
  }
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *fs = NULL;
  status = gBS->HandleProtocol(loaded->DeviceHandle, &gSimpleFileSystemGuid,
                               reinterpret_cast<VOID **>(&fs));
  if (EFI_ERROR(status) || fs == NULL) {
    return EFI_ERROR(status) ? status : EFI_NOT_FOUND;
  }
  return fs->OpenVolume(fs, Root);
}

EFI_STATUS ReadWholeFile(EFI_FILE_PROTOCOL *Root, const CHAR16 *Path, UINT64 MaxBytes,
                         FileBuffer *File) {
  File->address = 0;
  File->size = 0;
  File->pages = 0;
  if (Root == NULL) {
    return EFI_NOT_FOUND;  // no volume to read from
  }
  EFI_FILE_PROTOCOL *file = NULL;
  EFI_STATUS status =
      Root->Open(Root, &file, const_cast<CHAR16 *>(Path), EFI_FILE_MODE_READ, 0);
  if (EFI_ERROR(status)) {
    return status;
  }
  UINT64 size = 0;
  status = FileSize(file, &size);
  if (!EFI_ERROR(status) && size > MaxBytes) {
    status = EFI_BAD_BUFFER_SIZE;
  }
  EFI_PHYSICAL_ADDRESS address = 0;
  const UINTN pages = static_cast<UINTN>((size + EFI_PAGE_SIZE - 1) / EFI_PAGE_SIZE) + 1;
  if (!EFI_ERROR(status)) {
    status = Slot<EFI_ALLOCATE_PAGES>(gBS->AllocatePages)(AllocateAnyPages, EfiBootServicesData,
                                                          pages, &address);
  }
  UINT64 done = 0;
  for (UINTN reads = 0; !EFI_ERROR(status) && done < size; reads++) {
    if (reads == kMaxReads) {
      status = EFI_DEVICE_ERROR;
      break;
    }
    UINTN chunk = static_cast<UINTN>(size - done);
    status = file->Read(file, &chunk, reinterpret_cast<UINT8 *>(address) + done);
    if (!EFI_ERROR(status) && chunk == 0) {
      status = EFI_END_OF_FILE;  // shorter than its directory entry said
    }
    done += EFI_ERROR(status) ? 0 : chunk;
  }
  file->Close(file);
  if (EFI_ERROR(status)) {
    if (address != 0) {
      Slot<EFI_FREE_PAGES>(gBS->FreePages)(address, pages);
    }
    return status;
  }
  File->address = address;
  File->size = size;
  File->pages = pages;
  return EFI_SUCCESS;
}

void FreeFile(FileBuffer *File) {
  if (File->address != 0) {
    Slot<EFI_FREE_PAGES>(gBS->FreePages)(File->address, File->pages);
  }
  File->address = 0;
  File->size = 0;
  File->pages = 0;
}

}  // namespace harness
