#include "tools/CapsuleFormat.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "capsule/Capsule.h"
#include "dfu/Dfu.h"
#include "driver/Driver.h"
#include "sim/Log.h"

namespace capfmt {
namespace {

constexpr uint32_t kCapsuleHeaderSize = 32;  // 28 bytes of header, padded to 8
constexpr uint8_t kFfsStateValid = 0xF8;     // header and data valid, erase polarity 1
constexpr uint8_t kFfsFixedChecksum = 0xAA;
constexpr uint32_t kFvAttributes = 0x0004FEFF;
constexpr uint16_t kFvHeaderLength = sizeof(EFI_FIRMWARE_VOLUME_HEADER) + 2 * 8;  // 2 map entries

void Put16(Bytes &b, size_t at, uint16_t v) {
  b[at] = v & 0xFF;
  b[at + 1] = v >> 8;
}
void Put32(Bytes &b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) b[at + i] = (v >> (8 * i)) & 0xFF;
}
void Put64(Bytes &b, size_t at, uint64_t v) {
  for (int i = 0; i < 8; i++) b[at + i] = (v >> (8 * i)) & 0xFF;
}
void PutGuid(Bytes &b, size_t at, const EFI_GUID &g) { std::memcpy(&b[at], &g, sizeof g); }
size_t Align8(size_t v) { return (v + 7) & ~size_t{7}; }

Bytes CapsuleHeader(const EFI_GUID &guid, uint32_t flags) {
  Bytes b(kCapsuleHeaderSize, 0);
  PutGuid(b, 0, guid);
  Put32(b, offsetof(EFI_CAPSULE_HEADER, HeaderSize), kCapsuleHeaderSize);
  Put32(b, offsetof(EFI_CAPSULE_HEADER, Flags), flags);
  return b;
}

void FinishCapsule(Bytes &capsule) {
  if (capsule.size() > UINT32_MAX) throw std::runtime_error("capsule exceeds 4 GiB");
  Put32(capsule, offsetof(EFI_CAPSULE_HEADER, CapsuleImageSize), (uint32_t)capsule.size());
}

// A firmware file: header (24 bytes, or 32 for a large file), data, checksums set.
Bytes FfsFile(const EFI_GUID &name, uint8_t type, const Bytes &data, bool large) {
  size_t headerSize = large ? sizeof(EFI_FFS_FILE_HEADER2) : sizeof(EFI_FFS_FILE_HEADER);
  size_t length = headerSize + data.size();
  if (!large && length > 0xFFFFFF) {
    throw std::runtime_error("the camera file is over 16 MiB and needs the large-file header: "
                             "give --large-file");
  }
  Bytes f(length, 0);
  PutGuid(f, 0, name);
  f[offsetof(EFI_FFS_FILE_HEADER, Type)] = type;
  if (large) {
    f[offsetof(EFI_FFS_FILE_HEADER, Attributes)] = FFS_ATTRIB_LARGE_FILE;
    Put64(f, offsetof(EFI_FFS_FILE_HEADER2, ExtendedSize), length);
  } else {
    f[20] = length & 0xFF;
    f[21] = (length >> 8) & 0xFF;
    f[22] = (length >> 16) & 0xFF;
  }
  uint8_t sum = 0;
  for (size_t i = 0; i < headerSize; i++) sum += f[i];
  f[offsetof(EFI_FFS_FILE_HEADER, IntegrityCheck)] = (uint8_t)(0x100 - sum);
  f[offsetof(EFI_FFS_FILE_HEADER, IntegrityCheck) + 1] = kFfsFixedChecksum;
  f[offsetof(EFI_FFS_FILE_HEADER, State)] = kFfsStateValid;
  std::copy(data.begin(), data.end(), f.begin() + headerSize);
  return f;
}

EFI_GUID PadFileName(unsigned index) {
  EFI_GUID g = {0x4B565246, 0x5041, 0x4400, {0x80, 0, 0, 0, 0, 0, 0, 0}};
  g.Data4[7] = (uint8_t)index;
  g.Data4[6] = (uint8_t)(index >> 8);
  return g;
}

}  // namespace

std::string GuidToString(const EFI_GUID &g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1,
                g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

void PutVersionBlock(Bytes &payload, const VersionBlock &block) {
  const size_t end = size_t{block.offset} + sizeof(FwVersionBlock);
  if (payload.size() < end) payload.resize(end, 0);
  size_t at = block.offset;
  payload[at] = FW_VERSION_BLOCK_SIGNATURE_BYTE;
  Put32(payload, at + offsetof(FwVersionBlock, dwSignature), FW_VERSION_BLOCK_SIGNATURE);
  Put16(payload, at + offsetof(FwVersionBlock, wChipId), block.chipId);
  Put16(payload, at + offsetof(FwVersionBlock, wVID), block.vid);
  Put16(payload, at + offsetof(FwVersionBlock, wPID), block.pid);
  bool versionA = block.chipId == 0x4C10 || block.chipId == 0x4C15;
  Put16(payload, at + (versionA ? offsetof(FwVersionBlock, wFwVersionA)
                                : offsetof(FwVersionBlock, wFwVersionB)),
        block.version);
}

// The DFU view of a payload: its version block and the length a DFU download sends.
static Inspection::DfuView InspectDfu(const uint8_t *payload, uint64_t payloadLength) {
  Inspection::DfuView view;
  FwVersionBlock block;
  UINT32 offset = 0;
  if (FindFwVersionBlock(payload, payloadLength, &block, &offset)) {
    view.versionBlock = VersionBlock{offset, block.wChipId, block.wVID, block.wPID,
                                     FwVersionOf(&block)};
  }
  UINT64 length = DFUImageLength(payloadLength);
  view.lengthFits = length <= DFU_MAX_TRANSFER_LENGTH;
  if (view.lengthFits) {
    view.length = DFUTransferLength(payload, (INT32)length);
  }
  return view;
}

Bytes MakeImage(uint16_t vid, uint16_t pid, const Bytes &payload, uint16_t headerSize) {
  if (headerSize < sizeof(KVN_FW_HEADER)) throw std::runtime_error("header size below 16");
  uint64_t total = uint64_t{headerSize} + payload.size();
  if (total > UINT32_MAX) throw std::runtime_error("image exceeds 4 GiB");
  Bytes image(headerSize, 0);
  Put16(image, offsetof(KVN_FW_HEADER, wHeaderSize), headerSize);
  Put16(image, offsetof(KVN_FW_HEADER, wVID), vid);
  Put16(image, offsetof(KVN_FW_HEADER, wPID), pid);
  Put32(image, offsetof(KVN_FW_HEADER, dwTotalSize), (uint32_t)total);
  image.insert(image.end(), payload.begin(), payload.end());
  return image;
}

Bytes MakeFvCapsule(const Bytes &cameraImage, const FvOptions &options) {
  Bytes files;
  for (unsigned i = 0; i < options.padFiles; i++) {
    Bytes data(16 + 8 * (i % 4) + 1, (uint8_t)(0x10 + i));  // odd lengths exercise the rounding
    Bytes file = FfsFile(PadFileName(i), EFI_FV_FILETYPE_RAW, data, false);
    files.insert(files.end(), file.begin(), file.end());
    files.resize(Align8(files.size()), 0xFF);
  }
  const EFI_GUID cameraFile = KV_CAMERA_FILE_GUID;
  Bytes camera = FfsFile(cameraFile, EFI_FV_FILETYPE_RAW, cameraImage, options.largeFile);
  files.insert(files.end(), camera.begin(), camera.end());
  files.resize(Align8(files.size()), 0xFF);

  Bytes fv(kFvHeaderLength, 0);
  const EFI_GUID fs2 = EFI_FIRMWARE_FILE_SYSTEM2_GUID;
  const EFI_GUID fs3 = EFI_FIRMWARE_FILE_SYSTEM3_GUID;
  PutGuid(fv, offsetof(EFI_FIRMWARE_VOLUME_HEADER, FileSystemGuid), options.largeFile ? fs3 : fs2);
  uint64_t fvLength = kFvHeaderLength + files.size();
  Put64(fv, offsetof(EFI_FIRMWARE_VOLUME_HEADER, FvLength), fvLength);
  Put32(fv, offsetof(EFI_FIRMWARE_VOLUME_HEADER, Signature), EFI_FVH_SIGNATURE);
  Put32(fv, offsetof(EFI_FIRMWARE_VOLUME_HEADER, Attributes), kFvAttributes);
  Put16(fv, offsetof(EFI_FIRMWARE_VOLUME_HEADER, HeaderLength), kFvHeaderLength);
  fv[offsetof(EFI_FIRMWARE_VOLUME_HEADER, Revision)] = 2;
  Put32(fv, sizeof(EFI_FIRMWARE_VOLUME_HEADER), 1);  // one block of the whole volume
  Put32(fv, sizeof(EFI_FIRMWARE_VOLUME_HEADER) + 4, (uint32_t)fvLength);
  uint16_t sum = 0;
  for (size_t i = 0; i < kFvHeaderLength; i += 2) sum += (uint16_t)(fv[i] | (fv[i + 1] << 8));
  Put16(fv, offsetof(EFI_FIRMWARE_VOLUME_HEADER, Checksum), (uint16_t)(0x10000 - sum));
  fv.insert(fv.end(), files.begin(), files.end());

  const EFI_GUID capsuleGuid = EFI_CAPSULE_GUID;
  Bytes capsule = CapsuleHeader(capsuleGuid, CAPSULE_FLAGS_PERSIST_ACROSS_RESET);
  capsule.insert(capsule.end(), fv.begin(), fv.end());
  FinishCapsule(capsule);
  return capsule;
}

// One payload item: the version-3 header, then the item's data (the authentication, the
// payload header and the image, as far as the options ask for them).
static Bytes FmpItem(const Bytes &image, const FmpItemOptions &options) {
  Bytes data;
  if (options.fwVersion) {
    data.resize(sizeof(FMP_PAYLOAD_HEADER), 0);
    Put32(data, offsetof(FMP_PAYLOAD_HEADER, Signature), FMP_PAYLOAD_HEADER_SIGNATURE);
    Put32(data, offsetof(FMP_PAYLOAD_HEADER, HeaderSize), sizeof(FMP_PAYLOAD_HEADER));
    Put32(data, offsetof(FMP_PAYLOAD_HEADER, FwVersion), *options.fwVersion);
    Put32(data, offsetof(FMP_PAYLOAD_HEADER, LowestSupportedVersion),
          options.lowestSupportedVersion);
  }
  data.insert(data.end(), image.begin(), image.end());
  uint64_t capsuleSupport = 0;
  if (options.sign) {
    Bytes signedData = data;
    signedData.resize(data.size() + 8);
    Put64(signedData, data.size(), options.monotonicCount);
    const Bytes signature = options.sign(signedData);
    const size_t certLength = sizeof(WIN_CERTIFICATE_UEFI_GUID) + signature.size();
    if (certLength > UINT32_MAX) throw std::runtime_error("signature exceeds 4 GiB");
    Bytes auth(sizeof(EFI_FIRMWARE_IMAGE_AUTHENTICATION), 0);
    const size_t cert = offsetof(EFI_FIRMWARE_IMAGE_AUTHENTICATION, AuthInfo);
    Put64(auth, offsetof(EFI_FIRMWARE_IMAGE_AUTHENTICATION, MonotonicCount),
          options.monotonicCount);
    Put32(auth, cert + offsetof(WIN_CERTIFICATE, dwLength), (uint32_t)certLength);
    Put16(auth, cert + offsetof(WIN_CERTIFICATE, wRevision), WIN_CERT_REVISION_2_0);
    Put16(auth, cert + offsetof(WIN_CERTIFICATE, wCertificateType), WIN_CERT_TYPE_EFI_GUID);
    const EFI_GUID pkcs7 = EFI_CERT_TYPE_PKCS7_GUID;
    PutGuid(auth, cert + offsetof(WIN_CERTIFICATE_UEFI_GUID, CertType), pkcs7);
    auth.insert(auth.end(), signature.begin(), signature.end());
    data.insert(data.begin(), auth.begin(), auth.end());
    capsuleSupport |= CAPSULE_SUPPORT_AUTHENTICATION;
  }
  if (data.size() > UINT32_MAX) throw std::runtime_error("payload item exceeds 4 GiB");
  Bytes item(sizeof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER), 0);
  Put32(item, offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, Version),
        EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER_INIT_VERSION);
  PutGuid(item, offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, UpdateImageTypeId),
          options.typeId);
  item[offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, UpdateImageIndex)] =
      options.imageIndex;
  Put32(item, offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, UpdateImageSize),
        (uint32_t)data.size());
  Put64(item, offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, UpdateHardwareInstance),
        options.hardwareInstance);
  Put64(item, offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, ImageCapsuleSupport),
        capsuleSupport);
  item.insert(item.end(), data.begin(), data.end());
  return item;
}

Bytes MakeFmpCapsule(const std::vector<Bytes> &drivers, const std::vector<Bytes> &images,
                     const FmpItemOptions &itemOptions, uint32_t flags) {
  if (images.empty()) throw std::runtime_error("an FMP capsule for the camera needs an item");
  if (drivers.size() > 0xFFFF || images.size() > 0xFFFF) {
    throw std::runtime_error("an FMP capsule holds at most 65535 drivers and 65535 items");
  }
  for (const Bytes &driver : drivers) {
    // Each list entry must lie above the one before it: an empty driver would share its
    // offset with the next entry.
    if (driver.empty()) throw std::runtime_error("an embedded driver is empty");
  }
  const EFI_GUID fmpGuid = EFI_FIRMWARE_MANAGEMENT_CAPSULE_ID_GUID;
  Bytes capsule = CapsuleHeader(fmpGuid, flags);
  const size_t entries = drivers.size() + images.size();
  Bytes fmp(sizeof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER) + 8 * entries, 0);
  Put32(fmp, offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER, Version),
        EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER_INIT_VERSION);
  Put16(fmp, offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER, EmbeddedDriverCount),
        (uint16_t)drivers.size());
  Put16(fmp, offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER, PayloadItemCount),
        (uint16_t)images.size());
  // A driver and an item reach to the next list entry (the last item to the capsule end),
  // as EDK II's capsule library measures them: nothing may sit between them.
  size_t entry = 0;
  for (const Bytes &driver : drivers) {
    Put64(fmp, sizeof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER) + 8 * entry++, fmp.size());
    fmp.insert(fmp.end(), driver.begin(), driver.end());
  }
  for (const Bytes &image : images) {
    Put64(fmp, sizeof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER) + 8 * entry++, fmp.size());
    const Bytes item = FmpItem(image, itemOptions);
    fmp.insert(fmp.end(), item.begin(), item.end());
  }
  capsule.insert(capsule.end(), fmp.begin(), fmp.end());
  FinishCapsule(capsule);
  return capsule;
}

Bytes PlaceholderDriver() {
  constexpr size_t kPe = 0x40, kOptional = kPe + 4 + 20, kOptionalSize = 0xF0;
  Bytes pe(kOptional + kOptionalSize, 0);
  pe[0] = 'M';
  pe[1] = 'Z';
  Put32(pe, 0x3C, kPe);
  std::memcpy(&pe[kPe], "PE\0\0", 4);
  Put16(pe, kPe + 4, 0x8664);             // Machine: x64
  Put16(pe, kPe + 4 + 16, kOptionalSize);  // SizeOfOptionalHeader
  Put16(pe, kOptional, 0x20B);            // PE32+
  Put16(pe, kOptional + 68, 11);          // EFI boot-service driver
  return pe;
}

Bytes MakeFmpCapsule(const Bytes &cameraImage, const FmpOptions &options) {
  if (options.items == 0) throw std::runtime_error("an FMP capsule for the camera needs an item");
  std::vector<Bytes> drivers(options.drivers, PlaceholderDriver());
  std::vector<Bytes> images;
  for (unsigned i = 0; i + 1 < options.items; i++) {
    images.push_back(MakeImage(0xFFFF, (uint16_t)i, Bytes(32, (uint8_t)i)));
  }
  images.push_back(cameraImage);
  return MakeFmpCapsule(drivers, images);
}

namespace {

constexpr uint32_t kPeHeaderPointer = 0x3C;
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kOptionalHeaderFieldsRead = 72;  // through Subsystem and DllCharacteristics

uint16_t Get16(const uint8_t *p) { return (uint16_t)(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t *p) { return (uint32_t)Get16(p) | ((uint32_t)Get16(p + 2) << 16); }
uint64_t Get64(const uint8_t *p) { return (uint64_t)Get32(p) | ((uint64_t)Get32(p + 4) << 32); }

std::string MachineName(uint16_t machine) {
  switch (machine) {
    case 0x8664: return "x64";
    case 0x014C: return "IA32";
    case 0xAA64: return "AArch64";
    case 0x01C2: return "ARM";
    case 0x5064: return "RISC-V 64";
    case 0x0EBC: return "EFI byte code";
    default: return "unknown";
  }
}

std::string SubsystemName(uint16_t subsystem) {
  switch (subsystem) {
    case 10: return "EFI application";
    case 11: return "EFI boot-service driver";
    case 12: return "EFI runtime driver";
    case 13: return "EFI ROM";
    default: return "not an EFI subsystem";
  }
}

std::string Hex(uint64_t value, int digits) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%0*llX", digits, (unsigned long long)value);
  return text;
}

}  // namespace

std::optional<PeImage> ReadPeImage(const uint8_t *data, size_t size, std::string *why) {
  auto fail = [&](const char *reason) -> std::optional<PeImage> {
    if (why != nullptr) *why = reason;
    return std::nullopt;
  };
  if (size < 2 || data[0] != 'M' || data[1] != 'Z') return fail("no MZ header");
  if (size < kPeHeaderPointer + 4) return fail("its MZ header is cut short");
  const uint64_t pe = Get32(data + kPeHeaderPointer);
  if (pe > size || size - pe < 4 + kCoffHeaderSize) return fail("its PE header lies beyond its end");
  if (std::memcmp(data + pe, "PE\0\0", 4) != 0) return fail("no PE signature");
  const uint8_t *coff = data + pe + 4;
  const uint16_t optionalSize = Get16(coff + 16);
  const uint64_t optional = pe + 4 + kCoffHeaderSize;
  if (optionalSize < kOptionalHeaderFieldsRead || size - optional < kOptionalHeaderFieldsRead) {
    return fail("its optional header is cut short");
  }
  PeImage image;
  image.machine = Get16(coff);
  image.magic = Get16(data + optional);
  image.entryPoint = Get32(data + optional + 16);
  image.subsystem = Get16(data + optional + 68);
  return image;
}

std::string DescribePeImage(const uint8_t *data, size_t size) {
  std::string why;
  const std::optional<PeImage> pe = ReadPeImage(data, size, &why);
  if (!pe) return "not a PE image (" + why + ")";
  std::string text = pe->magic == 0x20B ? "PE32+ image" : pe->magic == 0x10B ? "PE32 image"
                                                                            : "PE image";
  text += ", machine " + MachineName(pe->machine) + " (" + Hex(pe->machine, 4) + ")";
  text += ", subsystem " + SubsystemName(pe->subsystem) + " (" + std::to_string(pe->subsystem) + ")";
  text += ", entry point " + Hex(pe->entryPoint, 1);
  return text;
}

// "list entry 3 (payload item 2): the item's span is not ... (0x1234)"
static std::string FaultLine(const KV_FMP_CAPSULE &fmp, KV_FMP_FAULT fault) {
  std::string line = KvFmpFaultText(fault);
  if (fault <= KV_FMP_LIST_OUTSIDE) return line;
  const uint32_t entry = fmp.FaultEntry;
  std::string where = "list entry " + std::to_string(entry) + " (";
  where += entry < fmp.DriverCount ? "embedded driver " + std::to_string(entry + 1)
                                   : "payload item " + std::to_string(entry - fmp.DriverCount + 1);
  return where + "): " + line + " (" + Hex(fmp.FaultValue, 1) + ")";
}

FmpLayout ReadFmpLayout(const Bytes &capsule) {
  FmpLayout layout;
  if (capsule.size() < sizeof(EFI_CAPSULE_HEADER)) {
    layout.problems.push_back("the file is shorter than a capsule header");
    return layout;
  }
  const uint8_t *base = capsule.data();
  const uint64_t extent = std::min<uint64_t>(
      capsule.size(), Get32(base + offsetof(EFI_CAPSULE_HEADER, CapsuleImageSize)));
  KV_FMP_CAPSULE fmp;
  const KV_FMP_FAULT opened = KvFmpOpen(base, extent, &fmp);
  layout.version = fmp.Version;
  if (opened != KV_FMP_OK) {
    layout.problems.push_back(FaultLine(fmp, opened));
    return layout;
  }
  layout.opened = true;
  const uint64_t fmpStart = (uint64_t)(fmp.Fmp - base);
  for (uint32_t d = 0; d < fmp.DriverCount; d++) {
    uint64_t span = 0;
    const uint64_t at = KvFmpEntry(&fmp, d, &span);
    layout.drivers.push_back({fmpStart + at, span});
  }
  for (uint32_t i = 0; i < fmp.ItemCount; i++) {
    FmpLayout::Item item;
    uint64_t span = 0;
    const uint8_t *h = fmp.Fmp + KvFmpEntry(&fmp, fmp.DriverCount + i, &span);
    item.offset = (uint64_t)(h - base);
    if (span >= 4) item.version = Get32(h);
    KV_FMP_ITEM walked;
    KV_FMP_FAULT fault = KvFmpItem(&fmp, i, &walked);
    if (fault != KV_FMP_OK) {
      item.fault = FaultLine(fmp, fault);
      layout.problems.push_back(item.fault);
      layout.items.push_back(item);
      continue;
    }
    item.headerSize = walked.HeaderSize;
    std::memcpy(&item.typeId, h + offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER,
                                           UpdateImageTypeId), sizeof item.typeId);
    item.index = h[offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, UpdateImageIndex)];
    item.imageSize = walked.ImageSize;
    item.vendorCodeSize =
        Get32(h + offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, UpdateVendorCodeSize));
    if (item.version >= 2) {
      item.hardwareInstance =
          Get64(h + offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, UpdateHardwareInstance));
    }
    if (item.version >= 3) {
      item.capsuleSupport =
          Get64(h + offsetof(EFI_FIRMWARE_MANAGEMENT_CAPSULE_IMAGE_HEADER, ImageCapsuleSupport));
    }
    KV_FMP_IMAGE image;
    fault = KvFmpImage(&fmp, &walked, &image);
    if (fault != KV_FMP_OK) {
      item.fault = FaultLine(fmp, fault);
      layout.problems.push_back(item.fault);
      layout.items.push_back(item);
      continue;
    }
    const uint8_t *data = walked.Image;
    if (image.AuthLength != 0) {
      FmpLayout::Auth auth;
      const size_t cert = offsetof(EFI_FIRMWARE_IMAGE_AUTHENTICATION, AuthInfo);
      auth.offset = (uint64_t)(data - base);
      auth.monotonicCount = Get64(data);
      auth.length = Get32(data + cert + offsetof(WIN_CERTIFICATE, dwLength));
      auth.revision = Get16(data + cert + offsetof(WIN_CERTIFICATE, wRevision));
      auth.certificateType = Get16(data + cert + offsetof(WIN_CERTIFICATE, wCertificateType));
      std::memcpy(&auth.certType, data + cert + offsetof(WIN_CERTIFICATE_UEFI_GUID, CertType),
                  sizeof auth.certType);
      auth.certData.assign(data + sizeof(EFI_FIRMWARE_IMAGE_AUTHENTICATION),
                           data + image.AuthLength);
      auth.signedData.assign(data + image.AuthLength, data + walked.ImageSize);
      for (int b = 0; b < 8; b++) auth.signedData.push_back((uint8_t)(auth.monotonicCount >> (8 * b)));
      item.auth = std::move(auth);
    }
    if (image.PayloadHeaderSize != 0) {
      const uint8_t *p = data + image.AuthLength;
      item.payloadHeader = FmpLayout::PayloadHeader{
          (uint64_t)(p - base), image.PayloadHeaderSize,
          Get32(p + offsetof(FMP_PAYLOAD_HEADER, FwVersion)),
          Get32(p + offsetof(FMP_PAYLOAD_HEADER, LowestSupportedVersion))};
    }
    item.cameraOffset = (uint64_t)(image.Data - base);
    item.cameraLength = image.Length;
    layout.items.push_back(item);
  }
  return layout;
}

// What EDK II's capsule library requires of an FMP capsule before the driver ever runs:
// it checks the layout (ValidateFmpCapsule) and loads every embedded driver; a capsule
// that fails either is not processed at all.
static void PlatformRules(const Bytes &capsule, Inspection *result) {
  const FmpLayout layout = ReadFmpLayout(capsule);
  const std::string library = "EDK II's capsule library refuses the capsule: ";
  for (const std::string &problem : layout.problems) {
    result->problems.push_back(library + problem);
  }
  if (layout.opened && layout.version != EFI_FIRMWARE_MANAGEMENT_CAPSULE_HEADER_INIT_VERSION) {
    result->problems.push_back(library + "the FMP header's version is " +
                               std::to_string(layout.version) + ", not 1");
  }
  for (size_t d = 0; d < layout.drivers.size(); d++) {
    std::string why;
    if (!ReadPeImage(capsule.data() + layout.drivers[d].offset, layout.drivers[d].length, &why)) {
      result->problems.push_back("embedded driver " + std::to_string(d + 1) +
                                 " is not a PE image (" + why + "): EDK II's capsule library "
                                 "cannot load it and handles no payload item");
    }
  }
}

Inspection Inspect(const Bytes &capsule, bool fmp) {
  Inspection result;
  result.path = fmp ? "FMP" : "firmware volume";
  if (capsule.size() < sizeof(EFI_CAPSULE_HEADER)) {
    result.problems.push_back("file of " + std::to_string(capsule.size()) +
                              " bytes is shorter than a capsule header (28 bytes)");
    return result;
  }
  // The driver reads the capsule in place; give it a private, aligned copy.
  std::vector<uint64_t> storage((capsule.size() + 7) / 8);
  std::memcpy(storage.data(), capsule.data(), capsule.size());
  auto *header = reinterpret_cast<EFI_CAPSULE_HEADER *>(storage.data());
  if (header->CapsuleImageSize > capsule.size()) {
    result.problems.push_back("capsule header claims " + std::to_string(header->CapsuleImageSize) +
                              " bytes but the file holds " + std::to_string(capsule.size()));
    return result;
  }
  if (header->CapsuleImageSize < capsule.size()) {
    result.warnings.push_back("the file holds " +
                              std::to_string(capsule.size() - header->CapsuleImageSize) +
                              " bytes after CapsuleImageSize (" +
                              std::to_string(header->CapsuleImageSize) +
                              "); the driver reads none of them");
  }
  const EFI_GUID fmpGuid = EFI_FIRMWARE_MANAGEMENT_CAPSULE_ID_GUID;
  const bool fmpGuidSeen = std::memcmp(&header->CapsuleGuid, &fmpGuid, sizeof fmpGuid) == 0;
  if (fmp && !fmpGuidSeen) {
    result.warnings.push_back("the capsule GUID is not the FMP capsule GUID " +
                              GuidToString(fmpGuid) + ": this is no FMP capsule (a firmware "
                              "volume capsule is inspected without --fmp)");
  }
  if (!fmp && fmpGuidSeen) {
    result.path = "FMP, as the capsule HOB or \"CapsuleOnRam\" hands it over";
  }
  if (fmpGuidSeen) {
    PlatformRules(capsule, &result);
  }

  sim::ClearCapturedLog();
  VOID *image = nullptr;
  dwImageLength = 0;
  if (fmp) {
    GetFmpPayloadImage(header, &image);
  } else {
    pCapsuleHeader = header;
    dwCapsuleLength = header->CapsuleImageSize;
    SearchImageInCapsule(&image);
    pCapsuleHeader = nullptr;
    dwCapsuleLength = 0;
  }
  result.driverLog = sim::CapturedLog();

  if (image == nullptr) {
    result.problems.push_back("the driver finds no camera image in this capsule");
    return result;
  }
  result.imageFound = true;
  result.imageOffset = (const uint8_t *)image - (const uint8_t *)storage.data();
  result.imageLength = dwImageLength;

  sim::ClearCapturedLog();
  const auto *fw = static_cast<const KVN_FW_HEADER *>(image);
  if (ValidateImageHeader(fw, dwImageLength) != EFI_SUCCESS) {
    for (std::string line : sim::CapturedLog()) {
      while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
      result.problems.push_back(line);
    }
  }
  if (dwImageLength >= sizeof(KVN_FW_HEADER)) {
    result.headerSize = fw->wHeaderSize;
    result.vid = fw->wVID;
    result.pid = fw->wPID;
    result.totalSize = fw->dwTotalSize;
    result.payloadLength = KvnPayloadLength(fw);
    if (result.payloadLength == 0) {
      result.problems.push_back("the camera image's payload is empty: the driver's update "
                                "paths refuse an empty image");
    }
    if (KvrRangeInside(fw->wHeaderSize, result.payloadLength, dwImageLength)) {
      result.dfu = InspectDfu(KvnPayload(fw), result.payloadLength);
    }
  }
  sim::ClearCapturedLog();
  return result;
}

}  // namespace capfmt
