// Internal to the simulation: reaching the live platform from an EFIAPI entry, the traps
// that fill every service slot the simulation does not provide, and the small helpers the
// platform's parts share.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <type_traits>

#include "sim/Sim.h"

namespace sim {

// The live platform. A service table used with no platform alive is a fault of the test
// itself (a table kept past its test): it ends the run with a message.
Platform &Live();

// A string literal usable as a template argument.
template <size_t N>
struct Literal {
  char text[N];
  constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text); }
};

// One function per (table, slot): records "unimplemented <kind>: <slot>" as a violation and
// returns EFI_UNSUPPORTED. Typed slots get a trap of their own signature; `VOID *` slots get
// one taking nothing, which the Microsoft x64 convention lets any caller call.
template <Literal Kind, Literal Name, typename Slot>
struct Trap;

template <Literal Kind, Literal Name, typename R, typename... A>
struct Trap<Kind, Name, R(EFIAPI *)(A...)> {
  static_assert(std::is_void_v<R> || std::is_same_v<R, EFI_STATUS>);
  static R EFIAPI Call(A...) {
    Live().Violation(std::string("unimplemented ") + Kind.text + ": " + Name.text);
    if constexpr (!std::is_void_v<R>) {
      return EFI_UNSUPPORTED;
    }
  }
};

template <Literal Kind, Literal Name>
struct Trap<Kind, Name, void *> {
  static EFI_STATUS EFIAPI Call() {
    Live().Violation(std::string("unimplemented ") + Kind.text + ": " + Name.text);
    return EFI_UNSUPPORTED;
  }
};

#define SIM_TRAP(table, kind, slot)                  \
  (table).slot = reinterpret_cast<decltype((table).slot)>( \
      &::sim::Trap<kind, #slot, decltype((table).slot)>::Call)

bool SameGuid(const EFI_GUID &a, const EFI_GUID &b);

// The pointer as printf's %p writes it, for violations and error messages.
std::string PointerText(const void *p);

}  // namespace sim
