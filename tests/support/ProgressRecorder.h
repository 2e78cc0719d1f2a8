// A TARVEL_PROGRESS_PROTOCOL instance that records every Percent it is handed. The protocol
// is the first base, so the This pointer leads back to the recorder.
#pragma once

#include <vector>

#include "platform/Platform.h"

struct ProgressRecorder : TARVEL_PROGRESS_PROTOCOL {
  ProgressRecorder() { UpdateProgress = &Record; }
  ProgressRecorder(const ProgressRecorder &) = delete;
  ProgressRecorder &operator=(const ProgressRecorder &) = delete;

  std::vector<UINTN> percents;

 private:
  static EFI_STATUS EFIAPI Record(TARVEL_PROGRESS_PROTOCOL *This, UINTN Percent) {
    static_cast<ProgressRecorder *>(This)->percents.push_back(Percent);
    return EFI_SUCCESS;
  }
};
