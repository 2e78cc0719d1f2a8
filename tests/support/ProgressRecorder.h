// A TARVEL_PROGRESS_PROTOCOL instance that records every Percent it is handed. The protocol
// is the first base, so the This pointer leads back to the recorder.
#pragma once

#include <functional>
#include <vector>

#include "platform/Platform.h"

struct ProgressRecorder : TARVEL_PROGRESS_PROTOCOL {
  ProgressRecorder() { UpdateProgress = &Record; }
  ProgressRecorder(const ProgressRecorder &) = delete;
  ProgressRecorder &operator=(const ProgressRecorder &) = delete;

  std::vector<UINTN> percents;
  // Called with each Percent once it is recorded.
  std::function<void(UINTN)> onReport;

 private:
  static EFI_STATUS EFIAPI Record(TARVEL_PROGRESS_PROTOCOL *This, UINTN Percent) {
    auto *self = static_cast<ProgressRecorder *>(This);
    self->percents.push_back(Percent);
    if (self->onReport) {
      self->onReport(Percent);
    }
    return EFI_SUCCESS;
  }
};
