// The simulated configuration table and the HOB list a platform hands over in it.
#include <cstring>
#include <memory>

#include "sim/Sim.h"
#include "sim/Trap.h"

namespace sim {
namespace {

constexpr uint32_t kHandoffTableVersion = 0x0009;  // EFI_HOB_HANDOFF_TABLE_VERSION
constexpr uint32_t kBootOnFlashUpdate = 0x12;      // BOOT_ON_FLASH_UPDATE
constexpr EFI_GUID kHobListGuid = EFI_HOB_LIST_GUID;
constexpr size_t kHobHeaderLength = sizeof(EFI_HOB_GENERIC_HEADER);
size_t PaddedTo8(size_t n) { return (n + 7) & ~size_t{7}; }

}  // namespace

void Platform::AddConfigurationTable(const EFI_GUID &guid, void *table) {
  for (EFI_CONFIGURATION_TABLE &entry : configurationTable_) {
    if (SameGuid(entry.VendorGuid, guid)) {
      entry.VendorTable = table;
      RefreshSystemTable();
      return;
    }
  }
  configurationTable_.push_back(EFI_CONFIGURATION_TABLE{guid, table});
  RefreshSystemTable();
}

HobListBuilder &HobListBuilder::Capsule(uint64_t base, uint64_t length, uint16_t type) {
  std::vector<uint8_t> body(16);
  std::memcpy(body.data(), &base, 8);
  std::memcpy(body.data() + 8, &length, 8);
  return Raw(type, std::move(body));
}

HobListBuilder &HobListBuilder::Raw(uint16_t type, std::vector<uint8_t> body,
                                    std::optional<uint16_t> hobLengthOverride) {
  if (kHobHeaderLength + PaddedTo8(body.size()) > 0xFFFF) {
    throw std::length_error("a HOB holds at most 65535 bytes");
  }
  hobs_.push_back(Hob{type, std::move(body), hobLengthOverride});
  return *this;
}

HobListBuilder &HobListBuilder::NoEnd() {
  end_ = false;
  return *this;
}

void *Platform::InstallHobList(const HobListBuilder &builder) {
  size_t size = sizeof(EFI_HOB_HANDOFF_INFO_TABLE);
  for (const auto &hob : builder.hobs_) {
    size += kHobHeaderLength + PaddedTo8(hob.body.size());
  }
  const size_t endOffset = size;
  if (builder.end_) {
    size += kHobHeaderLength;
  }
  hobLists_.push_back(std::make_unique<uint64_t[]>(size / 8));
  auto *bytes = reinterpret_cast<uint8_t *>(hobLists_.back().get());
  const auto address = [&](size_t offset) {
    return static_cast<EFI_PHYSICAL_ADDRESS>(reinterpret_cast<uintptr_t>(bytes + offset));
  };

  EFI_HOB_HANDOFF_INFO_TABLE phit{};
  phit.Header.HobType = EFI_HOB_TYPE_HANDOFF;
  phit.Header.HobLength = sizeof(EFI_HOB_HANDOFF_INFO_TABLE);
  phit.Version = kHandoffTableVersion;
  phit.BootMode = kBootOnFlashUpdate;
  phit.EfiMemoryTop = address(size);
  phit.EfiMemoryBottom = address(0);
  phit.EfiFreeMemoryTop = address(size);
  phit.EfiFreeMemoryBottom = address(size);
  phit.EfiEndOfHobList = address(endOffset);
  std::memcpy(bytes, &phit, sizeof phit);

  size_t offset = sizeof(EFI_HOB_HANDOFF_INFO_TABLE);
  for (const auto &hob : builder.hobs_) {
    const size_t length = kHobHeaderLength + PaddedTo8(hob.body.size());
    EFI_HOB_GENERIC_HEADER header{hob.type, hob.length.value_or(static_cast<uint16_t>(length)),
                                  0};
    std::memcpy(bytes + offset, &header, sizeof header);
    if (!hob.body.empty()) {
      std::memcpy(bytes + offset + kHobHeaderLength, hob.body.data(), hob.body.size());
    }
    offset += length;
  }
  if (builder.end_) {
    EFI_HOB_GENERIC_HEADER end{EFI_HOB_TYPE_END_OF_HOB_LIST,
                               static_cast<uint16_t>(kHobHeaderLength), 0};
    std::memcpy(bytes + offset, &end, sizeof end);
  }
  AddConfigurationTable(kHobListGuid, bytes);
  return bytes;
}

}  // namespace sim
