// The whole-run target's C++ heap. A run makes some three hundred host allocations (the
// simulated bus's transfers and handles, the camera model, the captured log), and under
// AddressSanitizer's allocator they took a third of its time. Here operator new and delete
// take blocks from free lists of 16-byte size classes in one arena, and poison with
// AddressSanitizer what no live block holds: a block's header, the slack and redzone behind
// its bytes, and a freed block until it is handed out again. The driver and the simulated
// platform, which are instrumented, still cannot read or write past a block or into a freed
// one without a report: the capsule the driver reads may sit in such a block.
//
// What stays on AddressSanitizer's own allocator: malloc and free, so every pool block the
// simulated platform hands the driver keeps full redzones and quarantine; blocks above
// kLargestClass; aligned allocations; and everything once the arena is used up.
#include <sanitizer/asan_interface.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace {

constexpr size_t kGranule = 16;
constexpr size_t kLargestClass = 4096;
constexpr size_t kClassCount = kLargestClass / kGranule;
// A block: a header of one granule (the next free block, its class), the bytes, then at
// least one granule of redzone.
constexpr size_t kHeader = kGranule;
constexpr size_t kRedzone = kGranule;
constexpr size_t kArenaBytes = size_t{64} << 20;
// Freed blocks wait, poisoned, through this many later frees before they can be handed out
// again: a use soon after the free is reported. Then they are reused newest first, while
// they are still in the cache (reusing the oldest cost a twentieth of a run in misses).
constexpr size_t kQuarantine = 256;

struct Header {
  Header *next;
  size_t cls;
};
static_assert(sizeof(Header) == kHeader);

alignas(kGranule) unsigned char arena[kArenaBytes];
size_t arenaUsed = 0;
bool arenaPoisoned = false;
Header *freeLists[kClassCount + 1];
// With each block its class, so that releasing it reads nothing from the block.
struct Quarantined {
  Header *block;
  size_t cls;
};
Quarantined quarantine[kQuarantine];
size_t quarantineAt = 0;
// libFuzzer allocates from a second thread now and then; one flag keeps the lists whole.
std::atomic_flag busy = ATOMIC_FLAG_INIT;

// AddressSanitizer's shadow: one byte for every 8 bytes of memory, 0 when all 8 are
// addressable, k when only the first k are, and kPoisoned when none is (the value
// ASAN_POISON_MEMORY_REGION writes). Blocks start and end on a granule, so their shadow is
// written directly, two bytes a granule, rather than through the general interface, which
// took a twentieth of a run. The stores are volatile: a memset here would be intercepted and
// checked like any other.
constexpr unsigned char kPoisoned = 0xF7;
uintptr_t shadowOffset = 0;

volatile uint16_t *Shadow(const void *p) {
  return reinterpret_cast<volatile uint16_t *>((reinterpret_cast<uintptr_t>(p) >> 3) +
                                               shadowOffset);
}

// Marks the first `size` bytes of a block addressable; the rest stays poisoned.
__attribute__((no_sanitize("address"))) void Unpoison(const void *p, size_t size) {
  volatile uint16_t *shadow = Shadow(p);
  const size_t whole = size / kGranule;
  for (size_t i = 0; i < whole; i++) shadow[i] = 0;
  const size_t rest = size % kGranule;
  if (rest != 0) {
    // Little-endian: the low byte shadows the granule's first 8 bytes.
    shadow[whole] = rest < 8    ? static_cast<uint16_t>(kPoisoned << 8 | rest)
                    : rest == 8 ? static_cast<uint16_t>(kPoisoned << 8)
                                : static_cast<uint16_t>((rest - 8) << 8);
  }
}

__attribute__((no_sanitize("address"))) void Poison(const void *p, size_t granules) {
  volatile uint16_t *shadow = Shadow(p);
  for (size_t i = 0; i < granules; i++) shadow[i] = kPoisoned << 8 | kPoisoned;
}

class Lock {
 public:
  Lock() {
    while (busy.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~Lock() { busy.clear(std::memory_order_release); }
};

bool InArena(const void *p) {
  const auto *b = static_cast<const unsigned char *>(p);
  return b >= arena && b < arena + kArenaBytes;
}

__attribute__((no_sanitize("address"))) void *Take(size_t size) {
  if (size == 0) size = 1;
  if (size > kLargestClass) return nullptr;
  const size_t cls = (size + kGranule - 1) / kGranule;
  unsigned char *block = nullptr;
  {
    Lock lock;
    if (!arenaPoisoned) {
      size_t scale = 0;
      __asan_get_shadow_mapping(&scale, &shadowOffset);
      ASAN_POISON_MEMORY_REGION(arena, kArenaBytes);
      arenaPoisoned = true;
    }
    if (Header *head = freeLists[cls]) {
      freeLists[cls] = head->next;
      block = reinterpret_cast<unsigned char *>(head);
    } else {
      const size_t span = kHeader + cls * kGranule + kRedzone;
      if (span > kArenaBytes - arenaUsed) return nullptr;
      block = arena + arenaUsed;
      arenaUsed += span;
      reinterpret_cast<Header *>(block)->cls = cls;
    }
  }
  unsigned char *user = block + kHeader;
  Unpoison(user, size);
  return user;
}

__attribute__((no_sanitize("address"))) void Give(void *p) {
  // A live block's first bytes are addressable; a freed one's are poisoned.
  if ((*Shadow(p) & 0xFF) == kPoisoned) {
    std::fprintf(stderr, "HostHeap: delete of %p, which is not a live block (freed twice?)\n", p);
    std::abort();
  }
  auto *header = reinterpret_cast<Header *>(static_cast<unsigned char *>(p) - kHeader);
  Poison(p, header->cls);
  Lock lock;
  const Quarantined released = std::exchange(quarantine[quarantineAt], {header, header->cls});
  quarantineAt = (quarantineAt + 1) % kQuarantine;
  if (released.block != nullptr) {
    released.block->next = freeLists[released.cls];
    freeLists[released.cls] = released.block;
  }
}

void *New(size_t size) {
  if (void *p = Take(size)) return p;
  if (void *p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void *NewNoThrow(size_t size) noexcept {
  if (void *p = Take(size)) return p;
  return std::malloc(size == 0 ? 1 : size);
}

void Delete(void *p) noexcept {
  if (p == nullptr) return;
  if (InArena(p)) {
    Give(p);
  } else {
    std::free(p);
  }
}

// aligned_alloc takes a multiple of the alignment; a size too large to round up fails.
void *NewAlignedNoThrow(size_t size, std::align_val_t align) noexcept {
  const size_t a = static_cast<size_t>(align);
  if (size > SIZE_MAX - (a - 1)) return nullptr;
  return std::aligned_alloc(a, size == 0 ? a : (size + a - 1) / a * a);
}

void *NewAligned(size_t size, std::align_val_t align) {
  if (void *p = NewAlignedNoThrow(size, align)) return p;
  throw std::bad_alloc();
}

}  // namespace

void *operator new(size_t size) { return New(size); }
void *operator new[](size_t size) { return New(size); }
void *operator new(size_t size, const std::nothrow_t &) noexcept { return NewNoThrow(size); }
void *operator new[](size_t size, const std::nothrow_t &) noexcept { return NewNoThrow(size); }
void *operator new(size_t size, std::align_val_t a) { return NewAligned(size, a); }
void *operator new[](size_t size, std::align_val_t a) { return NewAligned(size, a); }
void *operator new(size_t size, std::align_val_t a, const std::nothrow_t &) noexcept {
  return NewAlignedNoThrow(size, a);
}
void *operator new[](size_t size, std::align_val_t a, const std::nothrow_t &) noexcept {
  return NewAlignedNoThrow(size, a);
}
void operator delete(void *p) noexcept { Delete(p); }
void operator delete[](void *p) noexcept { Delete(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { Delete(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { Delete(p); }
void operator delete(void *p, size_t) noexcept { Delete(p); }
void operator delete[](void *p, size_t) noexcept { Delete(p); }
void operator delete(void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void *p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void *p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void *p, std::align_val_t, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, std::align_val_t, const std::nothrow_t &) noexcept {
  std::free(p);
}
