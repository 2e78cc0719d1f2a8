// Update driver core: the entry point and the update run, over the private data record
// (PrivateData.h). The run uses every subsystem; no subsystem includes this header.
#pragma once

#include "PrivateData.h"

// The update run: everything the driver does, once, from its entry point.
EFI_STATUS KvrUpdateRun();

// The device loop of the run: updates the first device table entry whose VID and PID equal
// the image header's, by DFU in modes 1 and 2 and by the flash path otherwise, and returns
// that update's status; Status, the run's status so far, when no entry matches. *Matched
// (may be NULL) tells whether an entry matched.
struct KVN_FW_HEADER;
EFI_STATUS UpdateFirstMatchingDevice(const KVN_FW_HEADER *Header,
                                     TARVEL_PROGRESS_PROTOCOL *Progress, EFI_STATUS Status,
                                     BOOLEAN *Matched = NULL);

// The image's entry point: stores the platform tables and performs the update run.
extern "C" EFI_STATUS EFIAPI KvrFmpDriverEntry(EFI_HANDLE ImageHandle,
                                                EFI_SYSTEM_TABLE *SystemTable);
