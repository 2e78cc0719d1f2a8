// Building and inspecting camera capsules on the host: the library behind kvrcap, also
// used by the tests and the fuzz targets to make well-formed inputs.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "driver/PrivateData.h"
#include "platform/Uefi.h"

namespace capfmt {

using Bytes = std::vector<uint8_t>;

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", upper case, as GUIDs are written in registries.
std::string GuidToString(const EFI_GUID &guid);

// The firmware version block a DFU update reads from the payload: the camera must come
// back with its VID, PID and version. The version goes into the field the chip ID selects
// (+16 on chips 0x4C10 and 0x4C15, +18 on the others).
struct VersionBlock {
  uint32_t offset = 0x1300;  // 0x1300, 0x2000, 0x300 or 0x3000, searched in that order
  uint16_t chipId = 0x4C15;
  uint16_t vid = 0x3B5A;
  uint16_t pid = 0x4C15;
  uint16_t version = 0x0101;
};
// Writes the block into the payload, growing it with zeros when it is too short.
void PutVersionBlock(Bytes &payload, const VersionBlock &block);

// A camera image: the 16-byte (or longer) image header followed by the payload.
Bytes MakeImage(uint16_t vid, uint16_t pid, const Bytes &payload, uint16_t headerSize = 16);

struct FvOptions {
  bool largeFile = false;  // the camera file with the 32-byte large-file header
  unsigned padFiles = 0;   // other files placed before the camera file
};
// An EFI capsule whose body is a PI firmware volume holding the camera file.
Bytes MakeFvCapsule(const Bytes &cameraImage, const FvOptions &options = {});

// How kvrcap lays out the payload items of an FMP capsule, as EDK II's GenerateCapsule
// does: a version-3 item header, then, with a version, the FMP payload header ("MSS1") in
// front of the image, and, when signed, the image authentication in front of that.
struct FmpItemOptions {
  EFI_GUID typeId = KV_IMAGE_TYPE_ID_GUID;  // UpdateImageTypeId
  uint8_t imageIndex = 1;                   // UpdateImageIndex
  uint64_t hardwareInstance = 0;            // UpdateHardwareInstance
  std::optional<uint32_t> fwVersion;        // with lowestSupportedVersion: the payload header
  uint32_t lowestSupportedVersion = 0;
  // Makes the signature (PKCS7, DER) of the bytes given: the item's data followed by the
  // 8-byte monotonic count. Unset: the item is not signed.
  std::function<Bytes(const Bytes &)> sign;
  uint64_t monotonicCount = 0;
};
// An FMP capsule (UEFI 2.10, 23.3): a 32-byte capsule header with these Flags, the FMP
// header, the embedded drivers byte for byte, then one payload item per image, all in the
// order given and back to back, with nothing between them; the driver takes the last item.
Bytes MakeFmpCapsule(const std::vector<Bytes> &drivers, const std::vector<Bytes> &images,
                     const FmpItemOptions &item = {}, uint32_t flags = 0);

struct FmpOptions {
  unsigned drivers = 0;  // placeholder drivers before the payload items (PE headers only)
  unsigned items = 1;    // payload items; the camera image is the last one
};
// An FMP capsule for the camera image, with placeholder drivers and other items.
Bytes MakeFmpCapsule(const Bytes &cameraImage, const FmpOptions &options = {});
// The placeholder driver: the PE32+ headers of an x64 boot-service driver and no code.
Bytes PlaceholderDriver();

// The PE/COFF headers a platform's loader reads first.
struct PeImage {
  uint16_t machine = 0;    // 0x8664 x64, 0x14C IA32, 0xAA64 AArch64
  uint16_t magic = 0;      // 0x20B PE32+, 0x10B PE32
  uint16_t subsystem = 0;  // 10 EFI application, 11 EFI boot-service driver, ...
  uint32_t entryPoint = 0;  // relative virtual address
};
// The image's PE headers; nullopt, with the reason in why, when it is not a PE image.
std::optional<PeImage> ReadPeImage(const uint8_t *data, size_t size, std::string *why);
// "PE32+ image, machine x64 (0x8664), subsystem EFI boot-service driver (11), entry point
// 0x1000", or "not a PE image (...)".
std::string DescribePeImage(const uint8_t *data, size_t size);

// What an FMP capsule holds, field by field, read with the driver's own walk of it
// (capsule/Capsule.h) where the driver reads only the last payload item.
struct FmpLayout {
  bool opened = false;      // the FMP header and its offset list passed the walk's checks
  uint32_t version = 0;     // of the FMP header
  struct Driver {
    uint64_t offset = 0;  // from the capsule start
    uint64_t length = 0;  // to the next list entry, as EDK II's capsule library takes it
  };
  struct Auth {             // EFI_FIRMWARE_IMAGE_AUTHENTICATION
    uint64_t offset = 0;    // from the capsule start
    uint64_t monotonicCount = 0;
    uint32_t length = 0;    // WIN_CERTIFICATE dwLength
    uint16_t revision = 0, certificateType = 0;
    EFI_GUID certType{};
    Bytes certData;         // the PKCS7 signature
    Bytes signedData;       // what it signs: the item's data after it, then the count
  };
  struct PayloadHeader {    // EDK II's FMP payload header
    uint64_t offset = 0;
    uint32_t headerSize = 0, fwVersion = 0, lowestSupportedVersion = 0;
  };
  struct Item {
    uint64_t offset = 0;  // of the item header, from the capsule start
    uint32_t version = 0;
    uint32_t headerSize = 0;
    EFI_GUID typeId{};
    uint8_t index = 0;
    uint32_t imageSize = 0;
    uint32_t vendorCodeSize = 0;
    uint64_t hardwareInstance = 0;  // version 2 on
    uint64_t capsuleSupport = 0;    // version 3
    std::optional<Auth> auth;
    std::optional<PayloadHeader> payloadHeader;
    uint64_t cameraOffset = 0, cameraLength = 0;  // what follows them
    std::string fault;  // why the walk refuses the item; empty when it does not
  };
  std::vector<Driver> drivers;
  std::vector<Item> items;
  std::vector<std::string> problems;  // what the walk refuses, each naming the rule
};
// Reads the layout within the capsule's CapsuleImageSize (and the bytes there are).
FmpLayout ReadFmpLayout(const Bytes &capsule);

// What the driver's own location code finds in a capsule.
struct Inspection {
  std::string path;                     // "firmware volume" or "FMP"
  bool imageFound = false;
  uint64_t imageOffset = 0;             // from the capsule start
  uint64_t imageLength = 0;
  uint16_t headerSize = 0, vid = 0, pid = 0;
  uint32_t totalSize = 0;
  uint64_t payloadLength = 0;
  // What a DFU update would do with the payload, as the driver's own code reads it; set
  // when the payload lies within the image.
  struct DfuView {
    std::optional<VersionBlock> versionBlock;
    bool lengthFits = false;  // the payload fits a DFU download's signed 32-bit length
    int64_t length = 0;       // the bytes DFU would send (0 or less: nothing)
  };
  std::optional<DfuView> dfu;
  std::vector<std::string> driverLog;  // every line the driver emitted while looking
  std::vector<std::string> problems;   // why the driver would not use the image
  std::vector<std::string> warnings;   // what may not be meant, but does not stop the driver
  bool usable() const { return imageFound && problems.empty(); }
  // The DFU path also takes the image: it has a version block and something to send.
  bool dfuUsable() const {
    return usable() && dfu && dfu->versionBlock && dfu->lengthFits && dfu->length > 0;
  }
};
// Runs the driver's location code on the capsule as a platform would hand it over: a
// capsule whose body is a firmware volume, as the capsule HOB or "CapsuleOnRam" names it
// (fmp = false), or the FMP capsule named by the address variable (fmp = true). Either way
// the driver reads the capsule up to its CapsuleImageSize, as it does on the "CapsuleOnRam"
// and INSYDE paths.
Inspection Inspect(const Bytes &capsule, bool fmp);

}  // namespace capfmt
