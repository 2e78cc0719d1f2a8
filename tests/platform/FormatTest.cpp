// The formatter: EDK II print conventions as every driver message uses them.
#include <gtest/gtest.h>

#include <string>

#include "platform/Platform.h"
#include "sim/Log.h"

namespace {

template <typename... Args>
std::string Fmt(const CHAR8 *format, Args... args) {
  CHAR16 buffer[256];
  KvrFormat(buffer, 256, format, args...);
  return sim::ToUtf8(buffer);
}

struct StatusCase {
  EFI_STATUS status;
  const char *text;
};

TEST(FormatStatus, EveryNamedStatusPrintsItsName) {
  const StatusCase cases[] = {
      {EFI_SUCCESS, "Success"},
      {EFI_WARN_UNKNOWN_GLYPH, "Warning Unknown Glyph"},
      {EFI_WARN_DELETE_FAILURE, "Warning Delete Failure"},
      {EFI_WARN_WRITE_FAILURE, "Warning Write Failure"},
      {EFI_WARN_BUFFER_TOO_SMALL, "Warning Buffer Too Small"},
      {EFI_WARN_STALE_DATA, "Warning Stale Data"},
      {EFI_LOAD_ERROR, "Load Error"},
      {EFI_INVALID_PARAMETER, "Invalid Parameter"},
      {EFI_UNSUPPORTED, "Unsupported"},
      {EFI_BAD_BUFFER_SIZE, "Bad Buffer Size"},
      {EFI_BUFFER_TOO_SMALL, "Buffer Too Small"},
      {EFI_NOT_READY, "Not Ready"},
      {EFI_DEVICE_ERROR, "Device Error"},
      {EFI_WRITE_PROTECTED, "Write Protected"},
      {EFI_OUT_OF_RESOURCES, "Out of Resources"},
      {EFI_VOLUME_CORRUPTED, "Volume Corrupt"},
      {EFI_VOLUME_FULL, "Volume Full"},
      {EFI_NO_MEDIA, "No Media"},
      {EFI_MEDIA_CHANGED, "Media changed"},
      {EFI_NOT_FOUND, "Not Found"},
      {EFI_ACCESS_DENIED, "Access Denied"},
      {EFI_NO_RESPONSE, "No Response"},
      {EFI_NO_MAPPING, "No mapping"},
      {EFI_TIMEOUT, "Time out"},
      {EFI_NOT_STARTED, "Not started"},
      {EFI_ALREADY_STARTED, "Already started"},
      {EFI_ABORTED, "Aborted"},
      {EFI_ICMP_ERROR, "ICMP Error"},
      {EFI_TFTP_ERROR, "TFTP Error"},
      {EFI_PROTOCOL_ERROR, "Protocol Error"},
      {EFI_INCOMPATIBLE_VERSION, "Incompatible Version"},
      {EFI_SECURITY_VIOLATION, "Security Violation"},
      {EFI_CRC_ERROR, "CRC Error"},
      {EFI_END_OF_MEDIA, "End of Media"},
      {EFIERR(29), "Reserved (29)"},
      {EFIERR(30), "Reserved (30)"},
      {EFI_END_OF_FILE, "End of File"},
      {EFI_INVALID_LANGUAGE, "Invalid Language"},
      {EFI_COMPROMISED_DATA, "Compromised Data"},
  };
  for (const StatusCase &c : cases) {
    EXPECT_EQ(Fmt("%r", c.status), c.text) << std::hex << c.status;
  }
}

TEST(FormatStatus, UnnamedStatusPrintsTheWholeValueInHex) {
  EXPECT_EQ(Fmt("%r", EFIERR(34)), "8000000000000022");
  EXPECT_EQ(Fmt("%r", EFI_MAX_BIT), "8000000000000000");
  EXPECT_EQ(Fmt("%r", (EFI_STATUS)6), "00000006");
  EXPECT_EQ(Fmt("%r", (EFI_STATUS)0x123456789ULL), "123456789");
}

TEST(FormatNumbers, HexCaseWidthsAndZeroPadding) {
  EXPECT_EQ(Fmt("%x", 0xBEEFu), "beef");
  EXPECT_EQ(Fmt("%X", 0xbeefu), "BEEF");
  EXPECT_EQ(Fmt("%04X", 0xABu), "00AB");
  EXPECT_EQ(Fmt("%06X", 0x12345u), "012345");
  EXPECT_EQ(Fmt("%08X", 0x1Fu), "0000001F");
  EXPECT_EQ(Fmt("%08x", 0xDEADBEEFu), "deadbeef");
  EXPECT_EQ(Fmt("%04X", 0x123456u), "123456");  // a width never cuts digits
  EXPECT_EQ(Fmt("%4x|%-4x|", 0xAu, 0xBu), "   a|b   |");
}

TEST(FormatNumbers, SignedDecimal) {
  EXPECT_EQ(Fmt("%d", 0), "0");
  EXPECT_EQ(Fmt("%d", -5), "-5");
  EXPECT_EQ(Fmt("%d", INT32_MIN), "-2147483648");
  EXPECT_EQ(Fmt("%5d|%-5d|%05d", 42, 42, -42), "   42|42   |-0042");
  EXPECT_EQ(Fmt("%u", 4000000000u), "4000000000");
}

TEST(FormatNumbers, SignedByteWidenedPrintsAsThirtyTwoBitHex) {
  INT8 byte = (INT8)0x80;
  EXPECT_EQ(Fmt("%x", (INT32)byte), "ffffff80");
}

TEST(FormatNumbers, LongModifierTakesSixtyFourBits) {
  EXPECT_EQ(Fmt("%lx", 0x123456789ABCDEF0ULL), "123456789abcdef0");
  EXPECT_EQ(Fmt("%lX", 0x123456789ABCDEF0ULL), "123456789ABCDEF0");
  EXPECT_EQ(Fmt("%ld", (INT64)-1), "-1");
  EXPECT_EQ(Fmt("%ld", INT64_MIN), "-9223372036854775808");
  EXPECT_EQ(Fmt("%lu", UINT64_MAX), "18446744073709551615");
  EXPECT_EQ(Fmt("%016lx", 0x1ULL), "0000000000000001");
  // Without the modifier only 32 bits are taken, so the next argument stays in place.
  EXPECT_EQ(Fmt("%x %x", 0xFFFFFFFFu, 7u), "ffffffff 7");
}

TEST(FormatNumbers, PointerInUpperCaseHex) {
  EXPECT_EQ(Fmt("%p", (VOID *)0x7ffe1234abcdULL), "7FFE1234ABCD");
  EXPECT_EQ(Fmt("%p", (VOID *)NULL), "0");
}

TEST(FormatStrings, UcsTwoAsciiAndCharacters) {
  EXPECT_EQ(Fmt("%s()", u"InitializeKVDescriptor"), "InitializeKVDescriptor()");
  EXPECT_EQ(Fmt("%a", "ascii"), "ascii");
  EXPECT_EQ(Fmt("[%8s][%-4a]", u"right", "l"), "[   right][l   ]");
  EXPECT_EQ(Fmt("%s", u"caf\u00e9"), "caf\xc3\xa9");
  EXPECT_EQ(Fmt("%c%c", 'o', u'k'), "ok");
  EXPECT_EQ(Fmt("%s|%a", (CHAR16 *)NULL, (CHAR8 *)NULL), "<null string>|<null string>");
}

TEST(FormatStrings, PercentSignsAndUnknownDirectives) {
  EXPECT_EQ(Fmt("100%%"), "100%");
  EXPECT_EQ(Fmt("%q and %"), "%q and %");
}

TEST(FormatBuffer, CountsTheWholeExpansionAndCutsToTheBuffer) {
  EXPECT_EQ(KvrFormat(NULL, 0, "%a world", "hello"), 11u);
  CHAR16 small[5];
  EXPECT_EQ(KvrFormat(small, 5, "%a world", "hello"), 11u);
  EXPECT_EQ(sim::ToUtf8(small), "hell");
  CHAR16 exact[12];
  EXPECT_EQ(KvrFormat(exact, 12, "%a world", "hello"), 11u);
  EXPECT_EQ(sim::ToUtf8(exact), "hello world");
}

TEST(FormatBuffer, WidthIsBounded) {
  EXPECT_EQ(KvrFormat(NULL, 0, "%99999999999999999999d", 1), 256u);
}

}  // namespace
