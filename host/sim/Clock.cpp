// The simulated clock: Stall advances virtual time without sleeping, within a budget.
#include <algorithm>
#include <string>

#include "sim/Sim.h"

namespace sim {

EFI_STATUS Platform::StallService(UINTN us) {
  stalls_.push_back(us);
  if (tpl_ >= TPL_CALLBACK) {
    // Nothing enumerates or leaves while the caller holds TPL_CALLBACK or above.
    Violation("Stall(" + std::to_string(us) + ") at TPL " + std::to_string(tpl_) +
              ": the USB bus cannot enumerate meanwhile");
  }
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

void Platform::TransferTime(uint64_t us) {
  nowUs_ += us;
  transferWaitUs_ += us;
  usb_->Advance(nowUs_);
}

// As EDK II's CoreRaiseTpl and CoreRestoreTpl: a raise to a lower level, or a restore to a
// higher one, is a caller's mistake.
EFI_TPL Platform::RaiseTplService(EFI_TPL tpl) {
  if (tpl < tpl_ || tpl > TPL_HIGH_LEVEL) {
    Violation("RaiseTPL(" + std::to_string(tpl) + ") at TPL " + std::to_string(tpl_));
  }
  const EFI_TPL old = tpl_;
  tpl_ = tpl;
  return old;
}

void Platform::RestoreTplService(EFI_TPL tpl) {
  if (tpl > tpl_) {
    Violation("RestoreTPL(" + std::to_string(tpl) + ") at TPL " + std::to_string(tpl_));
  }
  tpl_ = tpl;
  if (tpl_ < TPL_CALLBACK) {
    usb_->Sync();  // what the hub polling timer held back
  }
}

}  // namespace sim
