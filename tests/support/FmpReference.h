// FMP capsules built and read the tests' own way, from the published definitions alone
// (UEFI 2.10, 23.3 and 23.1; EDK II's FMP payload header): every offset is a number written
// here, nothing comes from platform/Uefi.h, capsule/ or tools/. It makes the layouts the
// driver must read and checks what kvrcap writes, so that neither is checked by itself.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace fmpref {

using Bytes = std::vector<uint8_t>;
using Guid = std::array<uint8_t, 16>;  // in memory order

// 6DCBD5ED-E82D-4C44-BDA1-7194199AD92A, the FMP capsule GUID.
extern const Guid kFmpCapsule;
// 517E0EE9-1838-4B22-973B-4FDA03313AE2, the camera image type.
extern const Guid kCameraImageType;
// 4AAFD29D-68DF-49EE-8AA9-347D375665A7, EFI_CERT_TYPE_PKCS7_GUID.
extern const Guid kPkcs7;

struct Item {
  uint32_t version = 3;  // the header is 32 (version 1), 40 (2) or 48 bytes (3 and any other)
  Guid typeId = kCameraImageType;
  uint8_t index = 1;
  uint64_t hardwareInstance = 0;
  uint64_t capsuleSupport = 0;
  Bytes image;            // UpdateImageSize bytes
  Bytes vendorCode;       // UpdateVendorCodeSize bytes after the image
  Bytes padding;          // after those, counted by neither size
};

// The item's image as EDK II's tools lay it out: [authentication][payload header]camera.
Bytes Authentication(uint64_t monotonicCount, const Bytes &certData, uint16_t certificateType = 0x0EF1,
                     const Guid &certType = kPkcs7);
Bytes PayloadHeader(uint32_t fwVersion, uint32_t lowestSupportedVersion, uint32_t headerSize = 16);

// Capsule header (32 bytes), FMP header, list, drivers, items, back to back.
Bytes Capsule(const std::vector<Bytes> &drivers, const std::vector<Item> &items,
              uint32_t flags = 0);

uint32_t U32(const Bytes &b, size_t at);
uint64_t U64(const Bytes &b, size_t at);
void Put32(Bytes &b, size_t at, uint32_t v);
void Put64(Bytes &b, size_t at, uint64_t v);

// Where each part of an FMP capsule lies, strictly read: every size must fit, the items'
// spans must be exact. Offsets from the capsule start.
struct Parsed {
  Guid capsuleGuid{};
  uint32_t headerSize = 0, flags = 0, capsuleImageSize = 0;
  uint32_t fmpVersion = 0;
  std::vector<std::pair<uint64_t, uint64_t>> drivers;  // offset, length
  struct ParsedItem {
    uint64_t offset = 0;
    uint32_t version = 0, headerSize = 0, imageSize = 0, vendorCodeSize = 0;
    Guid typeId{};
    uint8_t index = 0;
    uint64_t hardwareInstance = 0, capsuleSupport = 0;
    std::optional<uint64_t> monotonicCount;
    uint64_t certOffset = 0, certLength = 0;  // of CertData
    std::optional<std::array<uint32_t, 3>> payloadHeader;  // HeaderSize, FwVersion, LSV
    uint64_t cameraOffset = 0, cameraLength = 0;
  };
  std::vector<ParsedItem> items;
  std::string error;  // empty when the whole capsule was read
};
Parsed Parse(const Bytes &capsule);

}  // namespace fmpref
