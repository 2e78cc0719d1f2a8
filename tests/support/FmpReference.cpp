#include "support/FmpReference.h"

#include <cstring>

namespace fmpref {

const Guid kFmpCapsule = {0xED, 0xD5, 0xCB, 0x6D, 0x2D, 0xE8, 0x44, 0x4C,
                          0xBD, 0xA1, 0x71, 0x94, 0x19, 0x9A, 0xD9, 0x2A};
const Guid kCameraImageType = {0xE9, 0x0E, 0x7E, 0x51, 0x38, 0x18, 0x22, 0x4B,
                               0x97, 0x3B, 0x4F, 0xDA, 0x03, 0x31, 0x3A, 0xE2};
const Guid kPkcs7 = {0x9D, 0xD2, 0xAF, 0x4A, 0xDF, 0x68, 0xEE, 0x49,
                     0x8A, 0xA9, 0x34, 0x7D, 0x37, 0x56, 0x65, 0xA7};

uint32_t U32(const Bytes &b, size_t at) {
  return (uint32_t)b[at] | (uint32_t)b[at + 1] << 8 | (uint32_t)b[at + 2] << 16 |
         (uint32_t)b[at + 3] << 24;
}
uint64_t U64(const Bytes &b, size_t at) { return U32(b, at) | (uint64_t)U32(b, at + 4) << 32; }
void Put32(Bytes &b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; i++) b[at + i] = (uint8_t)(v >> (8 * i));
}
void Put64(Bytes &b, size_t at, uint64_t v) {
  Put32(b, at, (uint32_t)v);
  Put32(b, at + 4, (uint32_t)(v >> 32));
}
static void Append(Bytes &to, const Bytes &what) { to.insert(to.end(), what.begin(), what.end()); }

Bytes Authentication(uint64_t monotonicCount, const Bytes &certData, uint16_t certificateType,
                     const Guid &certType) {
  // MonotonicCount (8), WIN_CERTIFICATE {dwLength, wRevision, wCertificateType} (8),
  // CertType (16), CertData.
  Bytes a(32, 0);
  Put64(a, 0, monotonicCount);
  Put32(a, 8, (uint32_t)(24 + certData.size()));
  a[12] = 0x00;
  a[13] = 0x02;  // wRevision 0x0200
  a[14] = (uint8_t)certificateType;
  a[15] = (uint8_t)(certificateType >> 8);
  std::memcpy(&a[16], certType.data(), 16);
  Append(a, certData);
  return a;
}

Bytes PayloadHeader(uint32_t fwVersion, uint32_t lowestSupportedVersion, uint32_t headerSize) {
  Bytes h(16, 0);
  std::memcpy(&h[0], "MSS1", 4);
  Put32(h, 4, headerSize);
  Put32(h, 8, fwVersion);
  Put32(h, 12, lowestSupportedVersion);
  return h;
}

static uint32_t HeaderSizeOf(uint32_t version) { return version == 1 ? 32 : version == 2 ? 40 : 48; }

Bytes Capsule(const std::vector<Bytes> &drivers, const std::vector<Item> &items, uint32_t flags) {
  Bytes body(8 + 8 * (drivers.size() + items.size()), 0);
  Put32(body, 0, 1);
  body[4] = (uint8_t)drivers.size();
  body[5] = (uint8_t)(drivers.size() >> 8);
  body[6] = (uint8_t)items.size();
  body[7] = (uint8_t)(items.size() >> 8);
  size_t entry = 0;
  for (const Bytes &d : drivers) {
    Put64(body, 8 + 8 * entry++, body.size());
    Append(body, d);
  }
  for (const Item &item : items) {
    Put64(body, 8 + 8 * entry++, body.size());
    Bytes h(HeaderSizeOf(item.version), 0);
    Put32(h, 0, item.version);
    std::memcpy(&h[4], item.typeId.data(), 16);
    h[20] = item.index;
    Put32(h, 24, (uint32_t)item.image.size());
    Put32(h, 28, (uint32_t)item.vendorCode.size());
    if (h.size() >= 40) Put64(h, 32, item.hardwareInstance);
    if (h.size() >= 48) Put64(h, 40, item.capsuleSupport);
    Append(body, h);
    Append(body, item.image);
    Append(body, item.vendorCode);
    Append(body, item.padding);
  }
  Bytes capsule(32, 0);
  std::memcpy(&capsule[0], kFmpCapsule.data(), 16);
  Put32(capsule, 16, 32);
  Put32(capsule, 20, flags);
  Append(capsule, body);
  Put32(capsule, 24, (uint32_t)capsule.size());
  return capsule;
}

Parsed Parse(const Bytes &c) {
  Parsed p;
  auto fail = [&](const std::string &why) {
    p.error = why;
    return p;
  };
  if (c.size() < 28) return fail("shorter than a capsule header");
  std::memcpy(p.capsuleGuid.data(), &c[0], 16);
  p.headerSize = U32(c, 16);
  p.flags = U32(c, 20);
  p.capsuleImageSize = U32(c, 24);
  if (p.capsuleImageSize != c.size()) return fail("CapsuleImageSize is not the file's size");
  const uint64_t fmp = p.headerSize;
  if (fmp + 8 > c.size()) return fail("no room for the FMP header");
  p.fmpVersion = U32(c, fmp);
  const uint64_t drivers = c[fmp + 4] | c[fmp + 5] << 8, items = c[fmp + 6] | c[fmp + 7] << 8;
  const uint64_t entries = drivers + items;
  if (fmp + 8 + 8 * entries > c.size()) return fail("no room for the offset list");
  std::vector<uint64_t> at;
  for (uint64_t i = 0; i < entries; i++) at.push_back(fmp + U64(c, fmp + 8 + 8 * i));
  at.push_back(c.size());
  for (uint64_t i = 0; i < entries; i++) {
    if (at[i + 1] <= at[i]) return fail("entry " + std::to_string(i) + " is not below the next");
  }
  for (uint64_t d = 0; d < drivers; d++) p.drivers.push_back({at[d], at[d + 1] - at[d]});
  for (uint64_t i = drivers; i < entries; i++) {
    Parsed::ParsedItem item;
    const uint64_t h = at[i], span = at[i + 1] - at[i];
    item.offset = h;
    if (span < 32) return fail("item shorter than 32 bytes");
    item.version = U32(c, h);
    item.headerSize = HeaderSizeOf(item.version);
    if (item.version < 1 || item.version > 3) return fail("item header version unknown");
    if (span < item.headerSize) return fail("item shorter than its header");
    std::memcpy(item.typeId.data(), &c[h + 4], 16);
    item.index = c[h + 20];
    item.imageSize = U32(c, h + 24);
    item.vendorCodeSize = U32(c, h + 28);
    if (item.version >= 2) item.hardwareInstance = U64(c, h + 32);
    if (item.version >= 3) item.capsuleSupport = U64(c, h + 40);
    if (span != (uint64_t)item.headerSize + item.imageSize + item.vendorCodeSize) {
      return fail("item span is not header + image + vendor code");
    }
    uint64_t data = h + item.headerSize;
    const uint64_t end = data + item.imageSize;
    if (data + 32 <= end && U32(c, data + 12) >> 16 == 0x0EF1 &&
        std::memcmp(&c[data + 16], kPkcs7.data(), 16) == 0) {
      const uint64_t length = U32(c, data + 8);
      if (length < 24 || data + 8 + length > end) return fail("authentication does not fit");
      item.monotonicCount = U64(c, data);
      item.certOffset = data + 32;
      item.certLength = length - 24;
      data += 8 + length;
    }
    if (data + 16 <= end && std::memcmp(&c[data], "MSS1", 4) == 0) {
      const uint32_t size = U32(c, data + 4);
      if (size < 16 || data + size > end) return fail("payload header does not fit");
      item.payloadHeader = std::array<uint32_t, 3>{size, U32(c, data + 8), U32(c, data + 12)};
      data += size;
    }
    item.cameraOffset = data;
    item.cameraLength = end - data;
    p.items.push_back(item);
  }
  return p;
}

}  // namespace fmpref
