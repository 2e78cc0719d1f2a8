// Fuzz target: arbitrary bytes as the capsule, on the firmware-volume path and on the FMP
// path. Whatever the bytes, the location code must stay inside them and anything it
// delivers must lie inside them too.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "capsule/Capsule.h"
#include "sim/Log.h"

namespace {

void Check(bool inside) {
  if (!inside) std::abort();
}

void CheckImage(const uint8_t *base, size_t size, const VOID *image) {
  if (image == nullptr) return;
  const uint8_t *p = static_cast<const uint8_t *>(image);
  Check(p >= base && (size_t)(p - base) <= size && dwImageLength <= size - (size_t)(p - base));
  const auto *header = static_cast<const KVN_FW_HEADER *>(image);
  if (ValidateImageHeader(header, dwImageLength) == EFI_SUCCESS) {
    const uint8_t *payload = KvnPayload(header);
    uint64_t length = KvnPayloadLength(header);
    Check(payload >= p && (uint64_t)(payload - p) + length <= dwImageLength);
    volatile uint8_t sink = 0;
    for (uint64_t i = 0; i < length; i += 4096) sink = sink + payload[i];  // touch the payload
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > UINT32_MAX) return 0;
  // An exactly sized heap copy, so that any read past the end is caught.
  std::vector<uint8_t> fv(data, data + size);
  pCapsuleHeader = reinterpret_cast<EFI_CAPSULE_HEADER *>(fv.data());
  dwCapsuleLength = (UINT32)size;
  dwImageLength = 0;
  VOID *image = nullptr;
  if (SearchImageInCapsule(&image) == EFI_SUCCESS) {
    CheckImage(fv.data(), size, image);
  }

  // On the FMP path the capsule header's CapsuleImageSize is the platform's promise of the
  // capsule's extent; keep the promise true for the bytes at hand.
  if (size >= sizeof(EFI_CAPSULE_HEADER)) {
    std::vector<uint8_t> fmp(data, data + size);
    uint32_t claimed;
    std::memcpy(&claimed, &fmp[offsetof(EFI_CAPSULE_HEADER, CapsuleImageSize)], 4);
    if (claimed > size) {
      claimed = (uint32_t)size;
      std::memcpy(&fmp[offsetof(EFI_CAPSULE_HEADER, CapsuleImageSize)], &claimed, 4);
    }
    image = nullptr;
    dwImageLength = 0;
    GetFmpPayloadImage(reinterpret_cast<EFI_CAPSULE_HEADER *>(fmp.data()), &image);
    CheckImage(fmp.data(), claimed, image);
  }
  pCapsuleHeader = nullptr;
  dwCapsuleLength = 0;
  sim::ClearCapturedLog();
  return 0;
}
