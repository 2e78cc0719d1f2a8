// kvrcap from the command line: what it builds the driver finds, and what it reports on a
// capsule the driver would not use.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include "emu/harness/HarnessCore.h"
#include "support/FmpReference.h"
#include "support/Vectors.h"
#include "tools/CapsuleFormat.h"

namespace {

using ::testing::HasSubstr;
namespace fs = std::filesystem;

struct Result {
  int status;
  std::string output;
};

class KvrcapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() /
          ("kvrcap-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::create_directories(dir);
    std::ofstream(dir / "fw.bin", std::ios::binary) << std::string(10000, '\x5A');
  }
  void TearDown() override { fs::remove_all(dir); }

  Result Kvrcap(const std::string &arguments) {
    std::string command = std::string(KVRCAP_PATH) + " " + arguments + " 2>&1";
    Result run{-1, ""};
    FILE *pipe = popen(command.c_str(), "r");
    std::array<char, 512> chunk;
    while (size_t n = fread(chunk.data(), 1, chunk.size(), pipe)) run.output.append(chunk.data(), n);
    int raw = pclose(pipe);
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return run;
  }
  std::string P(const std::string &name) { return (dir / name).string(); }
  static capfmt::Bytes ReadBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return capfmt::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static void WriteBytes(const std::string &path, const capfmt::Bytes &bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), (std::streamsize)bytes.size());
  }

  // A test root and a signer it certified, made with the openssl command: root.pem,
  // signer.key, signer.pem in the test's folder.
  void MakeSigner() {
    const std::string d = dir.string();
    const std::string quiet = " >/dev/null 2>&1";
    ASSERT_EQ(std::system(("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=kvr-test-root "
                           "-days 2 -keyout " + d + "/root.key -out " + d + "/root.pem" + quiet).c_str()), 0);
    ASSERT_EQ(std::system(("openssl req -newkey rsa:2048 -nodes -subj /CN=kvr-test-signer "
                           "-keyout " + d + "/signer.key -out " + d + "/signer.csr" + quiet).c_str()), 0);
    ASSERT_EQ(std::system(("openssl x509 -req -days 2 -in " + d + "/signer.csr -CA " + d +
                           "/root.pem -CAkey " + d + "/root.key -CAcreateserial -out " + d +
                           "/signer.pem" + quiet).c_str()), 0);
  }
  // The item's signature and what it signs, as files for the openssl command.
  void WriteSignature(const capfmt::Bytes &capsule, const fmpref::Parsed::ParsedItem &item,
                      const std::string &der, const std::string &content) {
    const auto start = capsule.begin();
    WriteBytes(der, capfmt::Bytes(start + item.certOffset, start + item.certOffset + item.certLength));
    capfmt::Bytes data(start + item.certOffset + item.certLength,
                       start + item.offset + item.headerSize + item.imageSize);
    for (int b = 0; b < 8; b++) data.push_back((uint8_t)(*item.monotonicCount >> (8 * b)));
    WriteBytes(content, data);
  }

  fs::path dir;
};

TEST_F(KvrcapTest, FirmwareVolumeCapsuleRoundTrip) {
  ASSERT_EQ(Kvrcap("image --vid 0x3B5A --pid 0x4C15 --payload " + P("fw.bin") + " -o " + P("cam.img")).status, 0);
  ASSERT_EQ(Kvrcap("fv --image " + P("cam.img") + " -o " + P("cap.bin") + " --large-file --pad-files 2").status, 0);
  Result inspect = Kvrcap("inspect " + P("cap.bin"));
  EXPECT_EQ(inspect.status, 0) << inspect.output;
  EXPECT_THAT(inspect.output, HasSubstr("path:           firmware volume"));
  EXPECT_THAT(inspect.output, HasSubstr("VID 0x3B5A, PID 0x4C15, total size 10016 (0x2720)"));
  EXPECT_THAT(inspect.output, HasSubstr("payload:        10000 (0x2710) bytes"));
  EXPECT_THAT(inspect.output, HasSubstr("driver log:     Image found."));
  EXPECT_THAT(inspect.output, HasSubstr("result:         usable"));
}

TEST_F(KvrcapTest, FmpCapsuleRoundTrip) {
  ASSERT_EQ(Kvrcap("image --vid 0x3B5A --pid 0x4C15 --payload " + P("fw.bin") + " -o " + P("cam.img")).status, 0);
  ASSERT_EQ(Kvrcap("image --vid 1 --pid 2 --payload " + P("fw.bin") + " -o " + P("other.img")).status, 0);
  capfmt::Bytes blob = capfmt::PlaceholderDriver();  // PE headers, 329 bytes with the one below
  blob.push_back(0xCC);
  WriteBytes(P("blob.bin"), blob);
  // Drivers and images in the order given; the one driver's odd length leaves the items
  // unaligned, as a capsule may well have them.
  ASSERT_EQ(Kvrcap("fmp --driver " + P("blob.bin") + " --image " + P("other.img") + " --image " +
                   P("cam.img") + " -o " + P("cap.bin")).status, 0);
  Result inspect = Kvrcap("inspect " + P("cap.bin") + " --fmp");
  EXPECT_EQ(inspect.status, 0) << inspect.output;
  EXPECT_THAT(inspect.output, HasSubstr("capsule GUID:   6DCBD5ED-E82D-4C44-BDA1-7194199AD92A"));
  EXPECT_THAT(inspect.output, HasSubstr("driver 1:       329 (0x149) bytes at offset 64 (0x40): "
                                        "PE32+ image, machine x64 (0x8664), subsystem EFI "
                                        "boot-service driver (11), entry point 0x0\n"));
  EXPECT_THAT(inspect.output, HasSubstr("item 1:         at offset 393 (0x189): version 3 (48-byte header), "
                                        "UpdateImageTypeId 517E0EE9-1838-4B22-973B-4FDA03313AE2, "
                                        "UpdateImageIndex 1, UpdateImageSize 10016 (0x2720), "
                                        "UpdateVendorCodeSize 0, UpdateHardwareInstance 0x0"));
  EXPECT_THAT(inspect.output, HasSubstr("(the item the driver takes)\n"));
  EXPECT_THAT(inspect.output, HasSubstr("image header:   size 16, VID 0x3B5A, PID 0x4C15"));
  // The capsule HOB and "CapsuleOnRam" hand it over the same: the driver reads its items.
  inspect = Kvrcap("inspect " + P("cap.bin"));
  EXPECT_EQ(inspect.status, 0) << inspect.output;
  EXPECT_THAT(inspect.output, HasSubstr("path:           FMP, as the capsule HOB or \"CapsuleOnRam\" "
                                        "hands it over\n"));
  // And a firmware-volume capsule read as an FMP capsule says what it is not.
  ASSERT_EQ(Kvrcap("fv --image " + P("cam.img") + " -o " + P("fv.bin")).status, 0);
  EXPECT_THAT(Kvrcap("inspect " + P("fv.bin") + " --fmp").output,
              HasSubstr("warning:        the capsule GUID is not the FMP capsule GUID "
                        "6DCBD5ED-E82D-4C44-BDA1-7194199AD92A: this is no FMP capsule"));
}

// The capsule a platform's capsule library gets: the driver built by make, embedded byte
// for byte where the library (and the emulator's harness) takes it from.
TEST_F(KvrcapTest, FmpCapsuleCarriesTheBuiltDriverByteForByte) {
  if (!fs::exists(KVR_EFI_IMAGE_PATH)) {
    if (std::getenv("KVR_REQUIRE_EFI_IMAGE") != nullptr) FAIL() << KVR_EFI_IMAGE_PATH << " is missing";
    GTEST_SKIP() << "make efi builds " << KVR_EFI_IMAGE_PATH;
  }
  ASSERT_EQ(Kvrcap("image --vid 0x3B5A --pid 0x4C15 --payload " + P("fw.bin") + " -o " + P("cam.img")).status, 0);
  ASSERT_EQ(Kvrcap("fmp --driver " + std::string(KVR_EFI_IMAGE_PATH) + " --image " + P("cam.img") +
                   " -o " + P("cap.bin")).status, 0);
  const capfmt::Bytes capsule = ReadBytes(P("cap.bin"));
  const capfmt::Bytes driver = ReadBytes(KVR_EFI_IMAGE_PATH);
  const capfmt::FmpLayout layout = capfmt::ReadFmpLayout(capsule);
  ASSERT_EQ(layout.drivers.size(), 1u);
  ASSERT_EQ(layout.drivers[0].length, driver.size());
  EXPECT_TRUE(std::equal(driver.begin(), driver.end(), capsule.begin() + layout.drivers[0].offset));
  harness::EmbeddedDriver found{};
  harness::TextLine why;
  ASSERT_TRUE(harness::FindEmbeddedDriver(capsule.data(), capsule.size(), 0, &found, &why))
      << why.Text();
  EXPECT_EQ(found.offset, layout.drivers[0].offset);
  EXPECT_EQ(found.length, driver.size());
  EXPECT_EQ(found.count, 1);

  Result inspect = Kvrcap("inspect " + P("cap.bin") + " --fmp");
  EXPECT_EQ(inspect.status, 0) << inspect.output;
  EXPECT_THAT(inspect.output, HasSubstr("driver 1:       " + std::to_string(driver.size())));
  EXPECT_THAT(inspect.output, HasSubstr(": PE32+ image, machine x64 (0x8664), subsystem EFI "
                                        "boot-service driver (11), entry point 0x"));
}

// GenerateCapsule's own capsules, decoded: the version-3 item, the payload header, and in
// signed.cap the authentication, whose signature verifies against BaseTools' test root.
TEST_F(KvrcapTest, InspectDecodesGenerateCapsuleOutput) {
  for (const std::string &name : vectors::Capsules()) {
    SCOPED_TRACE(name);
    const bool signedCapsule = name == "signed.cap";
    const Result inspect =
        Kvrcap("inspect " + vectors::Path(name) + " --fmp" +
               (signedCapsule ? " --trusted-cert " + vectors::Path("trusted-root.pub.pem") : ""));
    EXPECT_EQ(inspect.status, 0) << inspect.output;
    EXPECT_THAT(inspect.output, HasSubstr(": version 3 (48-byte header), UpdateImageTypeId "
                                          "517E0EE9-1838-4B22-973B-4FDA03313AE2, UpdateImageIndex 1"));
    EXPECT_THAT(inspect.output, HasSubstr(": FMP payload header \"MSS1\", size 16, FwVersion "
                                          "0x210, LowestSupportedVersion 0x100\n"));
    EXPECT_THAT(inspect.output, HasSubstr("image header:   size 16, VID 0x3B5A, PID 0x4C15, total "
                                          "size 131088 (0x20010)\n"));
    EXPECT_THAT(inspect.output, HasSubstr("result:         usable by the flash path and the DFU path\n"));
    if (signedCapsule) {
      EXPECT_THAT(inspect.output, HasSubstr("item 1 auth:    at offset 16328 (0x3FC8): monotonic "
                                            "count 7, WIN_CERTIFICATE_UEFI_GUID of 2797 bytes, "
                                            "revision 0x0200, type 0x0EF1 (WIN_CERT_TYPE_EFI_GUID), "
                                            "CertType 4AAFD29D-68DF-49EE-8AA9-347D375665A7 (PKCS7), "
                                            "signature 2773 bytes\n"));
      EXPECT_THAT(inspect.output, HasSubstr("item 1 sign:    verified against " +
                                            vectors::Path("trusted-root.pub.pem") + "\n"));
      EXPECT_THAT(inspect.output, HasSubstr("ImageCapsuleSupport 0x1 (the item the driver takes)"));
    } else {
      EXPECT_THAT(inspect.output, ::testing::Not(HasSubstr(" auth:")));
    }
  }
  // One byte of the camera image changed: the signature no longer verifies.
  capfmt::Bytes tampered = vectors::Read("signed.cap");
  tampered.back() ^= 1;
  WriteBytes(P("tampered.cap"), tampered);
  const Result inspect = Kvrcap("inspect " + P("tampered.cap") + " --fmp --trusted-cert " +
                                vectors::Path("trusted-root.pub.pem"));
  EXPECT_EQ(inspect.status, 1);
  EXPECT_THAT(inspect.output, HasSubstr("item 1 sign:    does NOT verify against "));
  EXPECT_THAT(inspect.output, HasSubstr("problem:        the signature of item 1 does not verify "
                                        "against " + vectors::Path("trusted-root.pub.pem") +
                                        ": the platform's FMP authentication refuses it\n"));
  // openssl verifies the reference signature the same way: without a clock (the test
  // certificates have expired).
  const fmpref::Parsed parsed = fmpref::Parse(vectors::Read("signed.cap"));
  ASSERT_EQ(parsed.error, "");
  WriteSignature(vectors::Read("signed.cap"), parsed.items[0], P("sig.der"), P("content.bin"));
  EXPECT_EQ(std::system(("openssl cms -verify -inform DER -binary -no_check_time -in " +
                         P("sig.der") + " -content " + P("content.bin") + " -CAfile " +
                         vectors::Path("trusted-root.pub.pem") + " -out /dev/null 2>/dev/null").c_str()),
            0);
}

// kvrcap fmp with GenerateCapsule's inputs writes GenerateCapsule's bytes; signed, the same
// bytes around a signature of its own, which openssl verifies.
TEST_F(KvrcapTest, FmpWritesWhatGenerateCapsuleWrites) {
  const std::string common = " --guid 517E0EE9-1838-4B22-973B-4FDA03313AE2 --fw-version 0x0210 "
                             "--lsv 0x0100 --image " + vectors::Path("cam.img");
  const std::string driver = " --driver " + vectors::Path("embedded-driver.efi");
  ASSERT_EQ(Kvrcap("fmp" + driver + common + " -o " + P("unsigned.cap")).status, 0);
  EXPECT_EQ(ReadBytes(P("unsigned.cap")), vectors::Read("unsigned.cap"));
  ASSERT_EQ(Kvrcap("fmp" + common + " -o " + P("nodriver.cap")).status, 0);
  EXPECT_EQ(ReadBytes(P("nodriver.cap")), vectors::Read("nodriver.cap"));

  MakeSigner();
  const Result made = Kvrcap("fmp" + driver + common + " --sign " + P("signer.key") + " " +
                             P("signer.pem") + " --other-cert " + P("root.pem") +
                             " --monotonic-count 7 -o " + P("signed.cap"));
  ASSERT_EQ(made.status, 0) << made.output;
  const capfmt::Bytes ours = ReadBytes(P("signed.cap"));
  const capfmt::Bytes reference = vectors::Read("signed.cap");
  const fmpref::Parsed mine = fmpref::Parse(ours), theirs = fmpref::Parse(reference);
  ASSERT_EQ(mine.error, "");
  ASSERT_EQ(mine.items.size(), 1u);
  ASSERT_TRUE(mine.items[0].monotonicCount);
  EXPECT_EQ(*mine.items[0].monotonicCount, 7u);
  // With the reference's signature in place of ours, and the three sizes that count it
  // (CapsuleImageSize, UpdateImageSize, dwLength) made to match, the bytes are the same.
  const auto &item = mine.items[0], &ref = theirs.items[0];
  capfmt::Bytes spliced(ours.begin(), ours.begin() + item.certOffset);
  spliced.insert(spliced.end(), reference.begin() + ref.certOffset,
                 reference.begin() + ref.certOffset + ref.certLength);
  spliced.insert(spliced.end(), ours.begin() + item.certOffset + item.certLength, ours.end());
  fmpref::Put32(spliced, 24, (uint32_t)spliced.size());
  fmpref::Put32(spliced, item.offset + 24, ref.imageSize);
  fmpref::Put32(spliced, item.certOffset - 24, (uint32_t)(24 + ref.certLength));
  EXPECT_EQ(spliced, reference);

  WriteSignature(ours, item, P("sig.der"), P("content.bin"));
  EXPECT_EQ(std::system(("openssl cms -verify -inform DER -binary -in " + P("sig.der") +
                         " -content " + P("content.bin") + " -CAfile " + P("root.pem") +
                         " -out /dev/null 2>/dev/null").c_str()),
            0);
  const Result inspect =
      Kvrcap("inspect " + P("signed.cap") + " --fmp --trusted-cert " + P("root.pem"));
  EXPECT_EQ(inspect.status, 0) << inspect.output;
  EXPECT_THAT(inspect.output, HasSubstr("item 1 sign:    verified against " + P("root.pem")));
}

// Every item option lands where UEFI 2.10 and EDK II put it, as the tests' own parser reads
// the capsule; the driver takes the last item through its authentication and header.
TEST_F(KvrcapTest, FmpOptionsLandWhereThePublishedLayoutHasThem) {
  MakeSigner();
  ASSERT_EQ(Kvrcap("image --vid 0x3B5A --pid 0x4C15 --payload " + P("fw.bin") + " -o " + P("cam.img")).status, 0);
  WriteBytes(P("pe.efi"), capfmt::PlaceholderDriver());
  const Result made = Kvrcap(
      "fmp --driver " + P("pe.efi") + " --driver " + P("pe.efi") + " --image " + P("fw.bin") +
      " --image " + P("cam.img") + " --guid 01234567-89AB-CDEF-0123-456789ABCDEF "
      "--update-image-index 3 --hardware-instance 0x1122334455667788 --capflag PersistAcrossReset "
      "--capflag InitiateReset --fw-version 0x7 --lsv 0x5 --sign " + P("signer.key") + " " +
      P("signer.pem") + " --monotonic-count 0x100000001 -o " + P("cap.bin"));
  ASSERT_EQ(made.status, 0) << made.output;
  const capfmt::Bytes capsule = ReadBytes(P("cap.bin"));
  const fmpref::Parsed p = fmpref::Parse(capsule);
  ASSERT_EQ(p.error, "");
  EXPECT_EQ(p.capsuleGuid, fmpref::kFmpCapsule);
  EXPECT_EQ(p.headerSize, 32u);
  EXPECT_EQ(p.flags, 0x00050000u);  // PERSIST_ACROSS_RESET | INITIATE_RESET
  EXPECT_EQ(p.fmpVersion, 1u);
  ASSERT_EQ(p.drivers.size(), 2u);
  EXPECT_EQ(p.drivers[0].first, 32u + 8 + 4 * 8);
  EXPECT_EQ(p.drivers[1].first, p.drivers[0].first + capfmt::PlaceholderDriver().size());
  ASSERT_EQ(p.items.size(), 2u);
  const fmpref::Guid type = {0x67, 0x45, 0x23, 0x01, 0xAB, 0x89, 0xEF, 0xCD,
                             0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  for (const auto &item : p.items) {
    EXPECT_EQ(item.version, 3u);
    EXPECT_EQ(item.typeId, type);
    EXPECT_EQ(item.index, 3);
    EXPECT_EQ(item.hardwareInstance, 0x1122334455667788u);
    EXPECT_EQ(item.capsuleSupport, 1u);  // CAPSULE_SUPPORT_AUTHENTICATION
    EXPECT_EQ(item.monotonicCount, std::optional<uint64_t>(0x100000001u));
    EXPECT_EQ(item.payloadHeader, (std::array<uint32_t, 3>{16, 7, 5}));
  }
  EXPECT_EQ(p.items[0].cameraLength, 10000u);
  EXPECT_EQ(p.items[1].cameraLength, 10016u);
  EXPECT_EQ(capfmt::Bytes(capsule.begin() + p.items[1].cameraOffset, capsule.end()),
            ReadBytes(P("cam.img")));
  const Result inspect = Kvrcap("inspect " + P("cap.bin") + " --fmp --trusted-cert " + P("root.pem"));
  EXPECT_EQ(inspect.status, 0) << inspect.output;
  EXPECT_THAT(inspect.output, HasSubstr("image:          offset " + std::to_string(p.items[1].cameraOffset)));
}

// What EDK II's capsule library, or the driver, refuses, each named with its rule.
TEST_F(KvrcapTest, InspectNamesEveryRuleACapsuleBreaks) {
  const capfmt::Bytes cam = capfmt::MakeImage(0x3B5A, 0x4C15, capfmt::Bytes(64, 1));
  const capfmt::Bytes pe = capfmt::PlaceholderDriver();
  auto item = [](const capfmt::Bytes &image) {
    fmpref::Item i;
    i.image = image;
    return i;
  };
  fmpref::Item padded = item(cam);
  padded.padding = capfmt::Bytes(4, 0);  // as kvrcap once padded items to 8 bytes
  capfmt::Bytes emptyDriver = fmpref::Capsule({pe, {}}, {item(cam)});
  capfmt::Bytes version2 = fmpref::Capsule({pe}, {item(cam)});
  version2[32] = 2;
  struct Case {
    const char *name;
    capfmt::Bytes capsule;
    std::string problem;
  };
  const std::string library = "problem:        EDK II's capsule library refuses the capsule: ";
  const Case cases[] = {
      {"an empty driver", emptyDriver,
       library + "list entry 2 (payload item 1): the entry is not above the one before it (0x"},
      {"a driver that is no PE image", fmpref::Capsule({capfmt::Bytes(13, 0xD0)}, {item(cam)}),
       "problem:        embedded driver 1 is not a PE image (no MZ header): EDK II's capsule "
       "library cannot load it and handles no payload item\n"},
      {"an empty camera payload", fmpref::Capsule({}, {item(capfmt::MakeImage(0x3B5A, 0x4C15, {}))}),
       "problem:        the camera image's payload is empty: the driver's update paths refuse "
       "an empty image\n"},
      {"an item span with padding", fmpref::Capsule({pe}, {padded}),
       library + "list entry 1 (payload item 1): the item's span is not its header + "
                 "UpdateImageSize + UpdateVendorCodeSize (0x84)\n"},
      {"FMP header version 2", version2, library + "the FMP header's version is 2, not 1\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(P("bad.cap"), c.capsule);
    for (const char *mode : {" --fmp", ""}) {
      const Result inspect = Kvrcap("inspect " + P("bad.cap") + mode);
      EXPECT_EQ(inspect.status, 1) << inspect.output;
      EXPECT_THAT(inspect.output, HasSubstr(c.problem)) << inspect.output;
      EXPECT_THAT(inspect.output, HasSubstr("result:         NOT usable\n"));
    }
  }
  // kvrcap itself does not write an empty driver.
  std::ofstream(P("empty.efi"), std::ios::binary).close();
  EXPECT_EQ(Kvrcap("fmp --driver " + P("empty.efi") + " --image " + P("fw.bin") + " -o " + P("x")).output,
            "kvrcap fmp: an embedded driver is empty\n");
}

TEST_F(KvrcapTest, CorruptedCapsuleNamesTheProblemAndFails) {
  capfmt::Bytes image = capfmt::MakeImage(0x3B5A, 0x4C15, capfmt::Bytes(100, 1));
  image[12] = 0xFF;  // dwTotalSize far beyond the image
  capfmt::Bytes capsule = capfmt::MakeFvCapsule(image);
  std::ofstream(P("bad.bin"), std::ios::binary)
      .write(reinterpret_cast<const char *>(capsule.data()), (std::streamsize)capsule.size());
  Result inspect = Kvrcap("inspect " + P("bad.bin"));
  EXPECT_EQ(inspect.status, 1);
  EXPECT_THAT(inspect.output, HasSubstr("problem:        Camera image total size 0xff exceeds the located image of 0x74 bytes."));
  EXPECT_THAT(inspect.output, HasSubstr("result:         NOT usable"));

  fs::resize_file(P("bad.bin"), 100);  // cut short: the header now claims more than the file
  inspect = Kvrcap("inspect " + P("bad.bin"));
  EXPECT_EQ(inspect.status, 1);
  EXPECT_THAT(inspect.output, HasSubstr("but the file holds 100"));

  // A CapsuleImageSize short of the file: the driver reads only that much and finds no
  // camera file, whatever the rest of the file holds.
  capfmt::Bytes good = capfmt::MakeFvCapsule(capfmt::MakeImage(0x3B5A, 0x4C15, capfmt::Bytes(100, 1)));
  const size_t size = good.size();
  good[24] = 120;  // CapsuleImageSize: the FV header and a little more
  good[25] = good[26] = good[27] = 0;
  WriteBytes(P("short.bin"), good);
  inspect = Kvrcap("inspect " + P("short.bin"));
  EXPECT_EQ(inspect.status, 1) << inspect.output;
  EXPECT_THAT(inspect.output, HasSubstr("warning:        the file holds " + std::to_string(size - 120) +
                                        " bytes after CapsuleImageSize (120); the driver reads none of them\n"));
  EXPECT_THAT(inspect.output, HasSubstr("result:         NOT usable\n"));
}

TEST_F(KvrcapTest, UsageErrorsAreOneLineAndHelpIsThere) {
  Result missing = Kvrcap("image --pid 1 --payload " + P("fw.bin") + " -o " + P("x"));
  EXPECT_EQ(missing.status, 2);
  EXPECT_EQ(missing.output, "kvrcap image: --vid is required (try kvrcap image --help)\n");
  Result range = Kvrcap("image --vid 0x10000 --pid 1 --payload " + P("fw.bin") + " -o " + P("x"));
  EXPECT_EQ(range.status, 2);
  EXPECT_THAT(range.output, HasSubstr("VID '0x10000' is not a number from 0 to 65535"));
  EXPECT_EQ(Kvrcap("fv --image " + P("absent.img") + " -o " + P("x")).output,
            "kvrcap fv: cannot read " + P("absent.img") + "\n");
  EXPECT_EQ(Kvrcap("fmp --driver " + P("fw.bin") + " -o " + P("x")).output,
            "kvrcap fmp: --image is required (try kvrcap fmp --help)\n");
  const std::string fmp = "fmp --image " + P("fw.bin") + " -o " + P("x") + " ";
  for (const auto &[arguments, error] : std::vector<std::pair<std::string, std::string>>{
           {"--lsv 1", "--fw-version and --lsv make the FMP payload header together: give both"},
           {"--capflag InitiateReset", "--capflag InitiateReset also needs --capflag PersistAcrossReset"},
           {"--capflag PopulateSystemTable",
            "--capflag takes PersistAcrossReset or InitiateReset, not 'PopulateSystemTable'"},
           {"--guid 517E0EE9-1838-4B22-973B4FDA03313AE2",
            "GUID '517E0EE9-1838-4B22-973B4FDA03313AE2' is not of the form "
            "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX"},
           {"--update-image-index 0", "--update-image-index must be 1 to 255"},
           {"--monotonic-count 1", "--other-cert and --monotonic-count go with --sign"},
           {"--sign key.pem", "--sign needs 2 values"}}) {
    EXPECT_EQ(Kvrcap(fmp + arguments).output,
              "kvrcap fmp: " + error + " (try kvrcap fmp --help)\n") << arguments;
  }
  try {
    capfmt::MakeFvCapsule(capfmt::Bytes(0xFFFFFF, 0));
    ADD_FAILURE() << "a camera file over 16 MiB without the large-file header";
  } catch (const std::runtime_error &e) {
    EXPECT_THAT(e.what(), HasSubstr("needs the large-file header: give --large-file"));
  }
  for (const char *command : {"image", "fv", "fmp", "inspect"}) {
    Result help = Kvrcap(std::string(command) + " --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.output, HasSubstr("usage: kvrcap " + std::string(command)));
  }
}

TEST_F(KvrcapTest, InspectShowsTheVersionBlockAndTheDfuDownload) {
  capfmt::Bytes payload(126992, 0x5A);
  capfmt::PutVersionBlock(payload, {.offset = 0x2000, .chipId = 0x4C16, .vid = 0x3B5A,
                                    .pid = 0x4C16, .version = 0x0305});
  capfmt::Bytes capsule = capfmt::MakeFvCapsule(capfmt::MakeImage(0x3B5A, 0x4C16, payload));
  std::ofstream(P("dfu.bin"), std::ios::binary)
      .write(reinterpret_cast<const char *>(capsule.data()), (std::streamsize)capsule.size());
  Result inspect = Kvrcap("inspect " + P("dfu.bin"));
  EXPECT_EQ(inspect.status, 0) << inspect.output;
  EXPECT_THAT(inspect.output,
              HasSubstr("version block:  offset 8192 (0x2000), chip ID 0x4C16, VID 0x3B5A, PID "
                        "0x4C16, version 0x0305\n"));
  EXPECT_THAT(inspect.output,
              HasSubstr("DFU download:   126976 (0x1F000) bytes in 31 blocks of at most 4096\n"));
  EXPECT_THAT(inspect.output, HasSubstr("result:         usable by the flash path and the DFU path\n"));

  // The fixture's payload has no version block: a DFU update would refuse it.
  ASSERT_EQ(Kvrcap("image --vid 1 --pid 2 --payload " + P("fw.bin") + " -o " + P("cam.img")).status, 0);
  ASSERT_EQ(Kvrcap("fv --image " + P("cam.img") + " -o " + P("cap.bin")).status, 0);
  inspect = Kvrcap("inspect " + P("cap.bin"));
  EXPECT_THAT(inspect.output, HasSubstr("version block:  none (a DFU update refuses this image)\n"));
  EXPECT_THAT(inspect.output, HasSubstr("DFU download:   10000 (0x2710) bytes in 3 blocks"));
  EXPECT_THAT(inspect.output, HasSubstr("result:         usable by the flash path; the DFU path "
                                        "refuses it (no firmware version block)\n"));
}

}  // namespace
