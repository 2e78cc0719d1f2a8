// The private data record and its firmware image descriptor.
#include "PrivateData.h"

FmpPrivateData *pKVFmpPrivateData = NULL;

namespace {
const EFI_GUID kImageTypeId = KV_IMAGE_TYPE_ID_GUID;
}

EFI_STATUS InitializeKVDescriptor() {
  FmpPrivateData *Private = pKVFmpPrivateData;
  if (Private == NULL) {
    return EFI_INVALID_PARAMETER;
  }

  Private->dwSignature = KV_PRIVATE_DATA_SIGNATURE;
  Private->dwPackageVersion = KV_PACKAGE_VERSION;
  Private->pPackageName = KV_PACKAGE_NAME;
  LogTrace("----> %s()\n", u"InitializeKVDescriptor");

  Private->bDescriptorCount = 1;
  if (Private->pDescriptor != NULL) {
    FreePool(Private->pDescriptor);
    Private->pDescriptor = NULL;
  }

  Private->pDescriptor = (EFI_FIRMWARE_IMAGE_DESCRIPTOR *)AllocateZeroPool(
      Private->bDescriptorCount * sizeof(EFI_FIRMWARE_IMAGE_DESCRIPTOR));
  if (Private->pDescriptor == NULL) {
    return EFI_OUT_OF_RESOURCES;
  }

  // Every field not set here stays as the zeroed allocation left it: no ImageIdName,
  // VersionName or Dependencies, and Compatibilities, LastAttemptVersion,
  // LastAttemptStatus and HardwareInstance 0.
  EFI_FIRMWARE_IMAGE_DESCRIPTOR *Descriptor = &Private->pDescriptor[0];
  Descriptor->ImageIndex = 1;
  Descriptor->ImageTypeId = kImageTypeId;
  Descriptor->ImageId = KV_IMAGE_ID;
  Descriptor->Version = KV_IMAGE_VERSION;
  Descriptor->Size = KV_IMAGE_SIZE;
  Descriptor->AttributesSupported = KV_IMAGE_ATTRIBUTES;
  Descriptor->AttributesSetting = KV_IMAGE_ATTRIBUTES;
  Descriptor->LowestSupportedImageVersion = KV_IMAGE_LOWEST_SUPPORTED_VERSION;
  return EFI_SUCCESS;
}
