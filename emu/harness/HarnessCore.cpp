// Configuration, text lines and the progress record of the harness.
#include "emu/harness/HarnessCore.h"

#include "capsule/Capsule.h"
#include "platform/Platform.h"

namespace harness {

// ---------------------------------------------------------------- text

TextLine &TextLine::Add(CHAR8 c) {
  if (length_ < kCapacity) {
    text_[length_++] = c;
    text_[length_] = 0;
  } else {
    truncated_ = TRUE;
  }
  return *this;
}

TextLine &TextLine::Add(const CHAR8 *text, UINTN length) {
  for (UINTN i = 0; i < length && text[i] != 0; i++) {
    Add(text[i]);
  }
  return *this;
}

TextLine &TextLine::Add(const CHAR8 *text) { return Add(text, kCapacity + 1); }

TextLine &TextLine::Decimal(UINT64 value) {
  CHAR8 digits[24];
  UINTN n = 0;
  do {
    digits[n++] = static_cast<CHAR8>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (n > 0) {
    Add(digits[--n]);
  }
  return *this;
}

TextLine &TextLine::Hex(UINT64 value, UINTN minDigits) {
  static const CHAR8 kDigits[] = "0123456789ABCDEF";
  CHAR8 digits[16];
  UINTN n = 0;
  do {
    digits[n++] = kDigits[value & 0xF];
    value >>= 4;
  } while (value != 0 && n < 16);
  Add("0x");
  for (UINTN pad = n; pad < minDigits && pad < 16; pad++) {
    Add('0');
  }
  while (n > 0) {
    Add(digits[--n]);
  }
  return *this;
}

TextLine &TextLine::Wide(const CHAR16 *text, UINTN maxChars) {
  for (UINTN i = 0; i < maxChars && text[i] != 0; i++) {
    const CHAR16 c = text[i];
    Add(c >= 0x20 && c < 0x7F ? static_cast<CHAR8>(c) : '?');
  }
  return *this;
}

void TextLine::Clear() {
  length_ = 0;
  text_[0] = 0;
  truncated_ = FALSE;
}

// ---------------------------------------------------------------- configuration

namespace {

void SetWide(CHAR16 *target, UINTN capacity, const CHAR16 *source) {
  UINTN i = 0;
  for (; i + 1 < capacity && source[i] != 0; i++) {
    target[i] = source[i];
  }
  target[i] = 0;
}

BOOLEAN IsSpace(CHAR8 c) { return c == ' ' || c == '\t' || c == '\r'; }

BOOLEAN Equal(const CHAR8 *a, UINTN aLength, const CHAR8 *b) {
  UINTN i = 0;
  for (; i < aLength; i++) {
    if (b[i] == 0 || a[i] != b[i]) {
      return FALSE;
    }
  }
  return b[i] == 0;
}

BOOLEAN ParseDecimal(const CHAR8 *text, UINTN length, UINT32 limit, UINT32 *value) {
  if (length == 0 || length > 10) {
    return FALSE;
  }
  UINT64 result = 0;
  for (UINTN i = 0; i < length; i++) {
    if (text[i] < '0' || text[i] > '9') {
      return FALSE;
    }
    result = result * 10 + static_cast<UINT64>(text[i] - '0');
  }
  if (result > limit) {
    return FALSE;
  }
  *value = static_cast<UINT32>(result);
  return TRUE;
}

BOOLEAN HexDigit(CHAR8 c, UINT32 *digit) {
  if (c >= '0' && c <= '9') {
    *digit = static_cast<UINT32>(c - '0');
  } else if (c >= 'a' && c <= 'f') {
    *digit = static_cast<UINT32>(c - 'a' + 10);
  } else if (c >= 'A' && c <= 'F') {
    *digit = static_cast<UINT32>(c - 'A' + 10);
  } else {
    return FALSE;
  }
  return TRUE;
}

// Exactly four hex digits, without "0x".
BOOLEAN ParseHex16(const CHAR8 *text, UINTN length, UINT16 *value) {
  if (length != 4) {
    return FALSE;
  }
  UINT32 result = 0;
  for (UINTN i = 0; i < 4; i++) {
    UINT32 digit;
    if (!HexDigit(text[i], &digit)) {
      return FALSE;
    }
    result = (result << 4) | digit;
  }
  *value = static_cast<UINT16>(result);
  return TRUE;
}

// VVVV:PPPP
BOOLEAN ParseIds(const CHAR8 *text, UINTN length, UsbIds *ids) {
  if (length != 9 || text[4] != ':') {
    return FALSE;
  }
  UsbIds parsed = {TRUE, 0, 0};
  if (!ParseHex16(text, 4, &parsed.vid) || !ParseHex16(text + 5, 4, &parsed.pid)) {
    return FALSE;
  }
  *ids = parsed;
  return TRUE;
}

// A volume path: printable ASCII without spaces, '/' turned into '\', a leading '\' added.
BOOLEAN ParsePath(const CHAR8 *text, UINTN length, CHAR16 *path) {
  if (length == 0) {
    return FALSE;
  }
  UINTN out = 0;
  if (text[0] != '/' && text[0] != '\\') {
    path[out++] = u'\\';
  }
  for (UINTN i = 0; i < length; i++) {
    const CHAR8 c = text[i];
    if (c <= 0x20 || c >= 0x7F || out + 1 >= kPathChars) {
      return FALSE;
    }
    path[out++] = c == '/' ? u'\\' : static_cast<CHAR16>(c);
  }
  path[out] = 0;
  return TRUE;
}

BOOLEAN ParseVendor(const CHAR8 *text, UINTN length, CHAR16 *vendor) {
  if (length == 0 || length + 1 > kVendorChars) {
    return FALSE;
  }
  for (UINTN i = 0; i < length; i++) {
    if (text[i] < 0x20 || text[i] >= 0x7F) {
      return FALSE;
    }
    vendor[i] = static_cast<CHAR16>(text[i]);
  }
  vendor[length] = 0;
  return TRUE;
}

}  // namespace

void DefaultConfig(Config *config) {
  config->mode = Mode::Smoke;
  config->capsule[0] = 0;
  SetWide(config->driver, kPathChars, u"\\KvrFmpDriver.efi");
  config->driverFromCapsule = FALSE;
  config->usbExpect = {FALSE, 0, 0};
  config->usbWaitMs = 5000;
  config->usbSettleMs = 0;
  config->exercise = {FALSE, 0, 0};
  SetWide(config->vendor, kVendorChars, u"INSYDE (emulated)");
  config->watchdogSeconds = 300;
}

const CHAR8 *ModeName(Mode mode) {
  switch (mode) {
    case Mode::Smoke:
      return "smoke";
    case Mode::Fv:
      return "fv";
    case Mode::Insyde:
      return "insyde";
    case Mode::None:
      return "none";
  }
  return "?";
}

namespace {

// One `key = value` setting of the configuration, pointing into its text.
struct Setting {
  const CHAR8 *key;
  UINTN keyLength;
  const CHAR8 *value;
  UINTN valueLength;
};

enum class SettingResult : UINT8 { Applied, BadValue, UnknownKey };

// Where the line that begins at start ends: at its '\n' or at the end of the text.
UINTN LineEnd(const CHAR8 *text, UINTN length, UINTN start) {
  UINTN end = start;
  while (end < length && text[end] != '\n') {
    end++;
  }
  return end;
}

// The line [start, end) without its comment and without the blanks around what is left,
// as [*first, *last).
void TrimLine(const CHAR8 *text, UINTN start, UINTN end, UINTN *first, UINTN *last) {
  *first = start;
  *last = end;
  for (UINTN i = start; i < end; i++) {
    if (text[i] == '#') {
      *last = i;
      break;
    }
  }
  while (*first < *last && IsSpace(text[*first])) {
    (*first)++;
  }
  while (*last > *first && IsSpace(text[*last - 1])) {
    (*last)--;
  }
}

// Splits the trimmed line [first, last) at its first '=' into key and value, each without
// the blanks next to the '='. FALSE when the line has no '='.
BOOLEAN SplitSetting(const CHAR8 *text, UINTN first, UINTN last, Setting *setting) {
  UINTN equals = first;
  while (equals < last && text[equals] != '=') {
    equals++;
  }
  if (equals == last) {
    return FALSE;
  }
  UINTN keyEnd = equals;
  while (keyEnd > first && IsSpace(text[keyEnd - 1])) {
    keyEnd--;
  }
  UINTN valueStart = equals + 1;
  while (valueStart < last && IsSpace(text[valueStart])) {
    valueStart++;
  }
  setting->key = text + first;
  setting->keyLength = keyEnd - first;
  setting->value = text + valueStart;
  setting->valueLength = last - valueStart;
  return TRUE;
}

BOOLEAN ParseMode(const CHAR8 *text, UINTN length, Mode *mode) {
  if (Equal(text, length, "smoke")) {
    *mode = Mode::Smoke;
  } else if (Equal(text, length, "fv")) {
    *mode = Mode::Fv;
  } else if (Equal(text, length, "insyde")) {
    *mode = Mode::Insyde;
  } else if (Equal(text, length, "none")) {
    *mode = Mode::None;
  } else {
    return FALSE;
  }
  return TRUE;
}

// Stores the setting's value in config under its key.
SettingResult ApplySetting(const Setting &setting, Config *config) {
  const CHAR8 *key = setting.key;
  const UINTN keyLength = setting.keyLength;
  const CHAR8 *value = setting.value;
  const UINTN valueLength = setting.valueLength;
  BOOLEAN ok = FALSE;
  if (Equal(key, keyLength, "mode")) {
    ok = ParseMode(value, valueLength, &config->mode);
  } else if (Equal(key, keyLength, "capsule")) {
    ok = ParsePath(value, valueLength, config->capsule);
  } else if (Equal(key, keyLength, "driver")) {
    ok = ParsePath(value, valueLength, config->driver);
  } else if (Equal(key, keyLength, "driver-source")) {
    ok = Equal(value, valueLength, "file") || Equal(value, valueLength, "capsule");
    config->driverFromCapsule = Equal(value, valueLength, "capsule");
  } else if (Equal(key, keyLength, "usb-expect")) {
    ok = ParseIds(value, valueLength, &config->usbExpect);
  } else if (Equal(key, keyLength, "usb-wait-ms")) {
    ok = ParseDecimal(value, valueLength, 60000, &config->usbWaitMs);
  } else if (Equal(key, keyLength, "usb-settle-ms")) {
    ok = ParseDecimal(value, valueLength, 60000, &config->usbSettleMs);
  } else if (Equal(key, keyLength, "exercise")) {
    ok = ParseIds(value, valueLength, &config->exercise);
  } else if (Equal(key, keyLength, "vendor")) {
    ok = ParseVendor(value, valueLength, config->vendor);
  } else if (Equal(key, keyLength, "watchdog-s")) {
    ok = ParseDecimal(value, valueLength, 3600, &config->watchdogSeconds);
  } else {
    return SettingResult::UnknownKey;
  }
  return ok ? SettingResult::Applied : SettingResult::BadValue;
}

// Parses the trimmed, non-empty line [first, last), line lineNumber of the text, into
// config; on a fault says what is wrong with the line in error.
BOOLEAN ParseLine(const CHAR8 *text, UINTN first, UINTN last, UINTN lineNumber,
                  Config *config, TextLine *error) {
  Setting setting;
  if (!SplitSetting(text, first, last, &setting)) {
    error->Add("line ").Decimal(lineNumber).Add(": no '='");
    return FALSE;
  }
  switch (ApplySetting(setting, config)) {
    case SettingResult::Applied:
      return TRUE;
    case SettingResult::UnknownKey:
      error->Add("line ").Decimal(lineNumber).Add(": unknown key '");
      error->Add(setting.key, setting.keyLength).Add("'");
      return FALSE;
    case SettingResult::BadValue:
      error->Add("line ").Decimal(lineNumber).Add(": bad value for '");
      error->Add(setting.key, setting.keyLength).Add("'");
      return FALSE;
  }
  return FALSE;
}

// The settings that depend on each other, once every line is read.
BOOLEAN CheckCombination(const Config *config, TextLine *error) {
  if ((config->mode == Mode::Fv || config->mode == Mode::Insyde) && config->capsule[0] == 0) {
    error->Add("mode ").Add(ModeName(config->mode)).Add(" needs a capsule");
    return FALSE;
  }
  if (config->driverFromCapsule && config->mode != Mode::Insyde && config->mode != Mode::Fv) {
    error->Add("driver-source capsule needs mode fv or insyde (an FMP capsule handed over)");
    return FALSE;
  }
  return TRUE;
}

}  // namespace

BOOLEAN ParseConfig(const CHAR8 *Text, UINTN Length, Config *config, TextLine *Error) {
  if (Length > kMaxConfigBytes) {
    Error->Add("the configuration is longer than ").Decimal(kMaxConfigBytes).Add(" bytes");
    return FALSE;
  }
  UINTN lineNumber = 0;
  UINTN start = 0;
  while (start < Length) {
    const UINTN end = LineEnd(Text, Length, start);
    lineNumber++;
    UINTN first;
    UINTN last;
    TrimLine(Text, start, end, &first, &last);
    start = end + 1;
    if (first != last && !ParseLine(Text, first, last, lineNumber, config, Error)) {
      return FALSE;
    }
  }
  return CheckCombination(config, Error);
}

// ---------------------------------------------------------------- FMP capsule

BOOLEAN FindEmbeddedDriver(const UINT8 *Capsule, UINT64 Size, UINT64 Index,
                           EmbeddedDriver *Driver, TextLine *Error) {
  if (Size < sizeof(EFI_CAPSULE_HEADER)) {
    Error->Add("the capsule is shorter than a capsule header");
    return FALSE;
  }
  static const EFI_GUID kFmpCapsuleGuid = EFI_FIRMWARE_MANAGEMENT_CAPSULE_ID_GUID;
  const UINT8 *guid = reinterpret_cast<const UINT8 *>(&kFmpCapsuleGuid);
  for (UINTN i = 0; i < sizeof(EFI_GUID); i++) {
    if (Capsule[i] != guid[i]) {
      Error->Add("the capsule GUID is not the FMP capsule GUID");
      return FALSE;
    }
  }
  const UINT64 capsuleSize = KvrReadU32(Capsule + offsetof(EFI_CAPSULE_HEADER, CapsuleImageSize));
  if (capsuleSize > Size) {
    Error->Add("CapsuleImageSize ").Decimal(capsuleSize).Add(" exceeds the ").Decimal(Size);
    Error->Add(" bytes there are");
    return FALSE;
  }
  // The driver's own walk, with the checks EDK II's capsule library makes first.
  KV_FMP_CAPSULE fmp;
  const KV_FMP_FAULT fault = KvFmpOpen(Capsule, capsuleSize, &fmp);
  if (fault != KV_FMP_OK) {
    Error->Add(KvFmpFaultText(fault));
    if (fault > KV_FMP_LIST_OUTSIDE) {
      Error->Add(" (list entry ").Decimal(fmp.FaultEntry).Add(")");
    }
    return FALSE;
  }
  if (Index >= fmp.DriverCount) {
    Error->Add("the capsule has ").Decimal(fmp.DriverCount).Add(" embedded drivers");
    return FALSE;
  }
  UINT64 span = 0;
  Driver->offset = static_cast<UINT64>(fmp.Fmp - Capsule) +
                   KvFmpEntry(&fmp, static_cast<UINT32>(Index), &span);
  Driver->length = span;
  Driver->count = fmp.DriverCount;
  return TRUE;
}

// ---------------------------------------------------------------- progress

void ProgressRecord::Record(UINTN percent) {
  if (count_ < kCapacity) {
    values_[count_] = percent;
  }
  count_++;
}

void ProgressRecord::Format(TextLine *line) const {
  if (count_ == 0) {
    line->Add('-');
    return;
  }
  for (UINTN i = 0; i < Kept(); i++) {
    if (i != 0) {
      line->Add(',');
    }
    line->Decimal(values_[i]);
  }
  if (count_ > Kept()) {
    line->Add(",+").Decimal(count_ - Kept());
  }
}

void FormatUsbPorts(const EFI_DEVICE_PATH_PROTOCOL *Path, TextLine *line) {
  UINTN ports = 0;
  const UINT8 *node = reinterpret_cast<const UINT8 *>(Path);
  for (UINTN i = 0; node != NULL && i < kMaxDevicePathNodes; i++) {
    const UINT8 type = node[0], subType = node[1];
    const UINTN length = static_cast<UINTN>(node[2] | (node[3] << 8));
    if (type == END_DEVICE_PATH_TYPE) {
      break;
    }
    if (length < sizeof(EFI_DEVICE_PATH_PROTOCOL)) {
      line->Add(ports++ == 0 ? "?" : ".?");
      break;
    }
    if (type == MESSAGING_DEVICE_PATH && subType == MSG_USB_DP &&
        length >= sizeof(USB_DEVICE_PATH)) {
      if (ports++ != 0) {
        line->Add('.');
      }
      line->Decimal(node[4]);
    }
    node += length;
  }
  if (ports == 0) {
    line->Add('-');
  }
}

void FormatProgressBar(UINTN percent, TextLine *line) {
  constexpr UINTN kWidth = 40;
  const UINTN filled = percent >= 100 ? kWidth : percent * kWidth / 100;
  line->Add("progress [");
  for (UINTN i = 0; i < kWidth; i++) {
    line->Add(i < filled ? '#' : '.');
  }
  line->Add("] ");
  if (percent < 100) {
    line->Add(' ');
  }
  if (percent < 10) {
    line->Add(' ');
  }
  line->Decimal(percent).Add('%');
}

// ---------------------------------------------------------------- result

const CHAR8 *DriverStateName(DriverState state) {
  switch (state) {
    case DriverState::Skipped:
      return "skipped";
    case DriverState::Absent:
      return "absent";
    case DriverState::LoadFailed:
      return "load-failed";
    case DriverState::Started:
      return "started";
  }
  return "?";
}

void FormatResult(Mode mode, DriverState driver, EFI_STATUS status,
                  const ProgressRecord &progress, const CHAR8 *error, TextLine *line) {
  line->Add("KVR-RESULT mode=").Add(ModeName(mode));
  line->Add(" driver=").Add(DriverStateName(driver));
  line->Add(" status=").Hex(status);
  line->Add(" progress=");
  progress.Format(line);
  line->Add(" progress-count=").Decimal(progress.Count());
  line->Add(" error=").Add(error);
}

}  // namespace harness
