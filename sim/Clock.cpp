// The simulated clock: Stall advances virtual time without sleeping, within a budget.
#include <algorithm>
#include <string>

#include "sim/Sim.h"

namespace sim {

EFI_STATUS Platform::StallService(UINTN us) {
  stalls_.push_back(us);
  if (us > stallBudgetUs_ - std::min(stalledUs_, stallBudgetUs_)) {
    Violation("virtual time budget exceeded: Stall(" + std::to_string(us) + ") after " +
              std::to_string(stalledUs_) + " us stalled, budget " +
              std::to_string(stallBudgetUs_) + " us");
    throw TimeBudgetExceeded("virtual time budget exceeded");
  }
  stalledUs_ += us;
  AdvanceTime(us);
  return EFI_SUCCESS;
}

void Platform::AdvanceTime(uint64_t us) {
  nowUs_ += us;
  usb_->Advance(nowUs_);
  usb_->Sync();
}

}  // namespace sim
