// KvrHarness.efi: stands in for the platform around the camera update driver under QEMU
// and OVMF. It connects every controller, lists the USB devices, hands the capsule over
// as a platform does, offers the progress protocol, loads and starts KvrFmpDriver.efi,
// prints one KVR-RESULT line and shuts the machine down.
#include "emu/harness/Harness.h"

namespace harness {

EFI_HANDLE gImage = NULL;
EFI_SYSTEM_TABLE *gST = NULL;
EFI_BOOT_SERVICES *gBS = NULL;
EFI_RUNTIME_SERVICES *gRT = NULL;

namespace {

CHAR16 gConfigPath[] = u"\\kvr-harness.cfg";
constexpr UINT64 kWatchdogCode = 0x10000;  // codes below are the firmware's

Config gConfig;
TextLine gLine;

struct Outcome {
  DriverState driver = DriverState::Skipped;
  EFI_STATUS status = EFI_SUCCESS;
  const CHAR8 *error = NULL;  // the first harness failure

  void Fail(const CHAR8 *word, EFI_STATUS why) {
    if (error == NULL) {
      error = word;
    }
    status = why;
  }
};

void Say(const CHAR8 *what, EFI_STATUS status) {
  gLine.Clear();
  gLine.Add("KvrHarness: ").Add(what).Add(": ").Hex(status);
  Print(gLine);
}

// Reads \kvr-harness.cfg; without one the defaults (smoke mode) stand.
BOOLEAN LoadConfig(EFI_FILE_PROTOCOL *root) {
  DefaultConfig(&gConfig);
  if (root == NULL) {
    Print("KvrHarness: no volume to read a configuration from; defaults apply");
    return TRUE;
  }
  FileBuffer file;
  const EFI_STATUS status = ReadWholeFile(root, gConfigPath, kMaxConfigBytes, &file);
  if (status == EFI_NOT_FOUND) {
    Print("KvrHarness: no \\kvr-harness.cfg; defaults apply");
    return TRUE;
  }
  if (EFI_ERROR(status)) {
    Say("cannot read \\kvr-harness.cfg", status);
    return FALSE;
  }
  gLine.Clear();
  const BOOLEAN parsed = ParseConfig(reinterpret_cast<const CHAR8 *>(file.address),
                                     static_cast<UINTN>(file.size), &gConfig, &gLine);
  FreeFile(&file);
  if (!parsed) {
    static TextLine message;
    message.Clear();
    message.Add("KvrHarness: \\kvr-harness.cfg: ").Add(gLine.Text());
    Print(message);
  }
  return parsed;
}

void WaitForExpectedDevice(Outcome *outcome) {
  if (!gConfig.usbExpect.present) {
    return;
  }
  UsbMatch match;
  UINT32 waited = 0;
  const BOOLEAN found = WaitForUsb(gConfig.usbExpect.vid, gConfig.usbExpect.pid, FALSE, 0,
                                   gConfig.usbWaitMs, &match, &waited);
  gLine.Clear();
  gLine.Add("KvrHarness: device ").Hex(gConfig.usbExpect.vid, 4).Add(':');
  gLine.Hex(gConfig.usbExpect.pid, 4).Add(found ? " present" : " not seen");
  gLine.Add(" after ").Decimal(waited).Add(" ms");
  Print(gLine);
  if (!found) {
    outcome->Fail("usb-expect", EFI_NOT_FOUND);
  }
}

// Loads the driver image from Buffer and starts it; the outcome gets its status.
void LoadAndStart(VOID *Buffer, UINT64 Size, const CHAR8 *What, Outcome *outcome) {
  EFI_HANDLE child = NULL;
  EFI_STATUS status =
      gBS->LoadImage(FALSE, gImage, NULL, Buffer, static_cast<UINTN>(Size), &child);
  if (EFI_ERROR(status)) {
    Say("LoadImage", status);
    outcome->driver = DriverState::LoadFailed;
    outcome->status = status;
    return;
  }
  gLine.Clear();
  gLine.Add("KvrHarness: starting ").Add(What);
  Print(gLine);
  UINTN exitDataSize = 0;
  CHAR16 *exitData = NULL;
  status = gBS->StartImage(child, &exitDataSize, &exitData);
  outcome->driver = DriverState::Started;
  outcome->status = status;
  if (exitData != NULL) {
    gLine.Clear();
    gLine.Add("KvrHarness: exit data: ").Wide(exitData, exitDataSize / sizeof(CHAR16));
    Print(gLine);
    gBS->FreePool(exitData);
  }
  Say("the driver returned", status);
}

// Loads and starts the driver image from its file on the volume.
void RunDriverFile(EFI_FILE_PROTOCOL *root, Outcome *outcome) {
  FileBuffer image;
  EFI_STATUS status = ReadWholeFile(root, gConfig.driver, kMaxDriverBytes, &image);
  if (status == EFI_NOT_FOUND) {
    gLine.Clear();
    gLine.Add("KvrHarness: no driver image ").Wide(gConfig.driver, kPathChars).Add(" on the volume");
    Print(gLine);
    outcome->driver = DriverState::Absent;
    outcome->status = EFI_NOT_FOUND;
    return;
  }
  if (EFI_ERROR(status)) {
    Say("cannot read the driver image", status);
    outcome->driver = DriverState::LoadFailed;
    outcome->status = status;
    return;
  }
  static TextLine what;
  what.Clear();
  what.Wide(gConfig.driver, kPathChars);
  LoadAndStart(reinterpret_cast<VOID *>(image.address), image.size, what.Text(), outcome);
  FreeFile(&image);
}

// Starts the capsule's first embedded driver from the capsule in memory, as EDK II's
// capsule library does before it handles the payload items.
void RunEmbeddedDriver(const FileBuffer &capsule, Outcome *outcome) {
  EmbeddedDriver driver;
  static TextLine why;
  why.Clear();
  const UINT8 *bytes = reinterpret_cast<const UINT8 *>(capsule.address);
  if (!FindEmbeddedDriver(bytes, capsule.size, 0, &driver, &why)) {
    gLine.Clear();
    gLine.Add("KvrHarness: no embedded driver in the capsule: ").Add(why.Text());
    Print(gLine);
    outcome->driver = DriverState::Absent;
    outcome->status = EFI_NOT_FOUND;
    return;
  }
  VOID *image = reinterpret_cast<VOID *>(capsule.address + driver.offset);
  UINT32 crc = 0;
  const EFI_STATUS crcStatus = gBS->CalculateCrc32(
      image, static_cast<UINTN>(driver.length), &crc);
  gLine.Clear();
  gLine.Add("KvrHarness: embedded driver 1 of ").Decimal(driver.count).Add(": ");
  gLine.Decimal(driver.length).Add(" bytes at capsule offset ").Hex(driver.offset);
  gLine.Add(", CRC32 ");
  if (EFI_ERROR(crcStatus)) {
    gLine.Add("unknown");
  } else {
    gLine.Hex(crc, 8);
  }
  Print(gLine);
  LoadAndStart(image, driver.length, "the capsule's embedded driver 1", outcome);
}

void Run(Outcome *outcome) {
  Print("KvrHarness: camera update harness");
  EFI_FILE_PROTOCOL *root = NULL;
  const EFI_STATUS volume = OpenOwnVolume(&root);
  if (EFI_ERROR(volume)) {
    Say("cannot open the harness's own volume", volume);
    root = NULL;
  }
  if (!LoadConfig(root)) {
    outcome->Fail("config", EFI_INVALID_PARAMETER);
    return;
  }
  Slot<EFI_SET_WATCHDOG_TIMER>(gBS->SetWatchdogTimer)(gConfig.watchdogSeconds, kWatchdogCode, 0,
                                                      NULL);
  gLine.Clear();
  gLine.Add("KvrHarness: mode ").Add(ModeName(gConfig.mode)).Add(", ");
  gLine.Decimal(ConnectAllControllers()).Add(" handles connected");
  Print(gLine);
  if (gConfig.usbSettleMs != 0) {
    gBS->Stall(static_cast<UINTN>(gConfig.usbSettleMs) * 1000);
  }
  WaitForExpectedDevice(outcome);
  ListUsb("before");

  if (gConfig.mode == Mode::Smoke) {
    if (gConfig.exercise.present &&
        !ExerciseTestDevice(gConfig.exercise.vid, gConfig.exercise.pid, gConfig.usbWaitMs)) {
      outcome->Fail("exercise", EFI_DEVICE_ERROR);
    }
    if (root != NULL) {
      root->Close(root);
    }
    return;
  }

  FileBuffer capsule = {0, 0, 0};
  BOOLEAN ready = TRUE;  // the platform's part is done: the driver may run
  if (gConfig.mode == Mode::Fv || gConfig.mode == Mode::Insyde) {
    const EFI_STATUS read = ReadWholeFile(root, gConfig.capsule, kMaxCapsuleBytes, &capsule);
    if (EFI_ERROR(read)) {
      gLine.Clear();
      gLine.Add("KvrHarness: cannot read the capsule ").Wide(gConfig.capsule, kPathChars);
      gLine.Add(": ").Hex(read);
      Print(gLine);
      outcome->Fail("capsule", read);
      ready = FALSE;
    } else {
      DescribeCapsule(capsule);
      const EFI_STATUS handed = gConfig.mode == Mode::Fv
                                    ? HandOverCapsuleOnRam(capsule.address)
                                    : HandOverInsyde(capsule.address, gConfig.vendor);
      if (EFI_ERROR(handed)) {
        outcome->Fail("handover", handed);
        ready = FALSE;
      }
    }
  }
  if (ready) {
    const EFI_STATUS installed = InstallProgress();
    if (EFI_ERROR(installed)) {
      Say("cannot install the progress protocol", installed);
      outcome->Fail("progress", installed);
    } else {
      if (gConfig.driverFromCapsule) {
        RunEmbeddedDriver(capsule, outcome);
      } else {
        RunDriverFile(root, outcome);
      }
      UninstallProgress();
    }
  }
  RestoreFirmwareVendor();
  FreeFile(&capsule);
  if (root != NULL) {
    root->Close(root);
  }
  ListUsb("after");
}

}  // namespace

}  // namespace harness

extern "C" EFI_STATUS EFIAPI KvrHarnessMain(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *Table) {
  using namespace harness;
  gImage = ImageHandle;
  gST = Table;
  gBS = Table->BootServices;
  gRT = Table->RuntimeServices;

  Outcome outcome;
  Run(&outcome);

  const ProgressRecord &progress = Progress();
  gLine.Clear();
  FormatResult(gConfig.mode, outcome.driver, outcome.status, progress,
               outcome.error != NULL ? outcome.error : "none", &gLine);
  Print(gLine);

  Slot<EFI_SET_WATCHDOG_TIMER>(gBS->SetWatchdogTimer)(0, kWatchdogCode, 0, NULL);
  gRT->ResetSystem(EfiResetShutdown, outcome.status, 0, NULL);
  return outcome.status;  // not reached: ResetSystem does not return
}
