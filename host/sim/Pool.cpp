// The simulated pool: AllocatePool and FreePool with accounting (outstanding blocks and
// bytes, the peak, every call's size), fault injection and the leak report.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sim/Sim.h"
#include "sim/Trap.h"

namespace sim {
namespace {

constexpr uint8_t kAllocatedFill = 0xAF;
constexpr uint8_t kFreedFill = 0xDF;

// UEFI 2.10 memory types a pool may come from, as EDK II checks them: not conventional,
// persistent (14) or unaccepted (15) memory, nor a value between the last type (16) and the
// OEM range.
bool ValidPoolType(EFI_MEMORY_TYPE type) {
  const uint32_t value = type;
  if (value >= 16) {
    return value >= 0x70000000U;
  }
  return value != EfiConventionalMemory && value != 14 && value != 15;
}

}  // namespace

void Platform::FailAllocation(size_t nth) {
  if (nth == 0) {
    throw std::invalid_argument("FailAllocation counts from 1 (the next call)");
  }
  failingAllocations_.insert(allocationCalls_ + nth);
}

Platform::PoolStats Platform::Pool() const {
  return PoolStats{blocks_.size(), outstandingBytes_, peakBytes_, allocationCalls_};
}

void Platform::AllowOutstanding(const void *p) {
  const auto it = blocks_.find(p);
  if (it == blocks_.end()) {
    throw std::invalid_argument("AllowOutstanding: " + PointerText(p) +
                                " is not a live pool block");
  }
  it->second.allowed = true;
}

std::vector<std::string> Platform::Leaks() const {
  std::vector<const std::pair<const void *const, Block> *> leaked;
  for (const auto &entry : blocks_) {
    if (!entry.second.allowed) {
      leaked.push_back(&entry);
    }
  }
  std::sort(leaked.begin(), leaked.end(),
            [](auto *a, auto *b) { return a->second.sequence < b->second.sequence; });
  std::vector<std::string> lines;
  for (const auto *entry : leaked) {
    lines.push_back("pool block of " + std::to_string(entry->second.size) +
                    " bytes from allocation #" + std::to_string(entry->second.sequence) +
                    " at " + PointerText(entry->first) + " was never freed");
  }
  return lines;
}

EFI_STATUS Platform::AllocatePoolService(EFI_MEMORY_TYPE type, UINTN size, void **buffer) {
  const size_t call = ++allocationCalls_;
  allocationSizes_.push_back(size);
  const bool injected = failingAllocations_.erase(call) != 0;
  if (buffer == nullptr || !ValidPoolType(type)) {
    return EFI_INVALID_PARAMETER;
  }
  *buffer = nullptr;
  if (injected || size > kPoolCapacityBytes - outstandingBytes_) {
    return EFI_OUT_OF_RESOURCES;
  }
  void *block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  std::memset(block, kAllocatedFill, size);
  blocks_.emplace(block, Block{size, call, false});
  outstandingBytes_ += size;
  peakBytes_ = std::max(peakBytes_, outstandingBytes_);
  *buffer = block;
  return EFI_SUCCESS;
}

EFI_STATUS Platform::FreePoolService(void *buffer) {
  const auto it = blocks_.find(buffer);
  if (it == blocks_.end()) {
    Violation(buffer == nullptr
                  ? std::string("FreePool(NULL)")
                  : "FreePool of " + PointerText(buffer) +
                        ", which is not a live pool block (never allocated or already freed)");
    return EFI_INVALID_PARAMETER;
  }
  std::memset(buffer, kFreedFill, it->second.size);
  outstandingBytes_ -= it->second.size;
  blocks_.erase(it);
  std::free(buffer);
  return EFI_SUCCESS;
}

}  // namespace sim
