// Building and inspecting camera capsules on the host: the library behind kvrcap, also
// used by the tests and the fuzz targets to make well-formed inputs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

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

struct FmpOptions {
  unsigned drivers = 0;  // embedded driver blobs before the payload items
  unsigned items = 1;    // payload items; the camera image is the last one
};
// An FMP capsule with version-2 payload item headers.
Bytes MakeFmpCapsule(const Bytes &cameraImage, const FmpOptions &options = {});

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
  bool usable() const { return imageFound && problems.empty(); }
};
// Runs the driver's location code on the capsule as a platform would hand it over: as a
// capsule HOB whose length is the file size (fmp = false), or as the FMP capsule named by
// the address variable (fmp = true).
Inspection Inspect(const Bytes &capsule, bool fmp);

}  // namespace capfmt
