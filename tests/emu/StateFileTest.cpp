// The camera server's final state file, its persona catalogue and options.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "RedirPeer.h"
#include "emu/TestDeviceProtocol.h"
#include "emu/server/Persona.h"
#include "emu/server/Report.h"
#include "emu/server/StateFile.h"

namespace {

namespace td = kvr_test_device;

std::string Slurp(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::string TempPath(const std::string &name) {
  return ::testing::TempDir() + "kvr-state-" + std::to_string(getpid()) + "-" + name;
}

TEST(StateFileTest, TextHasTheHeaderTheRecordsInOrderTheBlobsAndEnd) {
  emu::StateFile state;
  state.Add("persona", "test-device");
  state.Add("device", "vid=0x3B5A pid=0x7E57");
  state.AddBlob("flash", {1, 2, 3});
  EXPECT_EQ(state.Text("/x/state.txt"),
            "kvr-camera-state 1\n"
            "persona test-device\n"
            "device vid=0x3B5A pid=0x7E57\n"
            "blob name=flash file=state.txt.flash.bin size=3\n"
            "end\n");
}

TEST(StateFileTest, WriteLeavesTheTextAndEachBlobAndNoTemporaries) {
  const std::string path = TempPath("write.txt");
  emu::StateFile state;
  state.Add("run", "end=hangup");
  state.AddBlob("image", {0xDE, 0xAD, 0x00, 0xEF});
  std::string error;
  ASSERT_TRUE(state.Write(path, &error)) << error;
  EXPECT_EQ(Slurp(path), state.Text(path));
  EXPECT_EQ(Slurp(path + ".image.bin"), std::string("\xDE\xAD\x00\xEF", 4));
  EXPECT_NE(access((path + ".tmp").c_str(), F_OK), 0);
  std::remove(path.c_str());
  std::remove((path + ".image.bin").c_str());
}

TEST(StateFileTest, WriteReportsAFolderThatIsNotThere) {
  emu::StateFile state;
  std::string error;
  EXPECT_FALSE(state.Write("/nonexistent-kvr-folder/state.txt", &error));
  EXPECT_NE(error.find("cannot create /nonexistent-kvr-folder/state.txt.tmp"), std::string::npos);
}

TEST(StateFileTest, BlobNamesAreLettersDigitsAndDashes) {
  emu::StateFile state;
  EXPECT_THROW(state.AddBlob("../flash", {}), std::invalid_argument);
  EXPECT_THROW(state.AddBlob("", {}), std::invalid_argument);
  EXPECT_NO_THROW(state.AddBlob("dfu-image-2", {}));
}

TEST(StateFileTest, HexFormats) {
  EXPECT_EQ(emu::Hex(0x3B5A, 4), "0x3B5A");
  EXPECT_EQ(emu::Hex(0x5, 4), "0x0005");
  EXPECT_EQ(emu::Hex(0x8000000000000007ULL), "0x8000000000000007");
  EXPECT_EQ(emu::HexBytes({}), "-");
  EXPECT_EQ(emu::HexBytes({0x00, 0xAB, 0x0F}), "00ab0f");
}

TEST(StateFileTest, RunWithoutAPeerStillDescribesTheDevice) {
  std::unique_ptr<emu::Persona> persona = emu::MakePersona("test-device", {});
  const emu::StateFile state = emu::DescribeRun("test-device", *persona, nullptr, "no-peer", 2'500'000);
  EXPECT_EQ(state.Text("s"),
            "kvr-camera-state 1\n"
            "persona test-device\n"
            "device vid=0x3B5A pid=0x7E57 bcd=0x0100 connected=1 generation=0\n"
            "run end=no-peer seconds=2.500 requests=0 not-logged=0\n"
            "link hellos=0 connects=0 disconnects=0 disconnect-acks=0 resets=0 parse-errors=0 "
            "cancelled=0 expired=0 refused=0 unsupported=0\n"
            "test-device returns=0 configuration=0 stored=-\n"
            "blob name=stored file=s.stored.bin size=0\n"
            "end\n");
}

TEST(StateFileTest, RunDescribesEventsAndEveryServedRequest) {
  emu::PersonaOptions options;
  options.Add("bcd=0x0200");
  std::unique_ptr<emu::Persona> persona = emu::MakePersona("test-device", options);
  emu_test::RedirLink link(persona->Device());
  link.Settle();
  link.peer->SendControl(td::kRequestTypeOut, td::kRequestStore, 0, 0, 2, {0xCA, 0xFE});
  link.peer->SendControl(td::kRequestTypeIn, td::kRequestStall, 0x1234, 0x0002, 4);
  link.Settle();
  const std::string text =
      emu::DescribeRun("test-device", *persona, link.server.get(), "hangup", 1'000'000).Text("s");
  EXPECT_NE(text.find("device vid=0x3B5A pid=0x7E57 bcd=0x0200 connected=1 generation=0\n"),
            std::string::npos);
  EXPECT_NE(text.find("run end=hangup seconds=1.000 requests=2 not-logged=0\n"), std::string::npos);
  EXPECT_NE(text.find("link hellos=1 connects=1 disconnects=0"), std::string::npos);
  EXPECT_NE(text.find("test-device returns=0 configuration=0 stored=cafe\n"), std::string::npos);
  EXPECT_NE(text.find("blob name=stored file=s.stored.bin size=2\n"), std::string::npos);
  EXPECT_NE(text.find("event t_us=1000 what=hello\n"), std::string::npos);
  EXPECT_NE(text.find("event t_us=1000 what=connect vid=0x3B5A pid=0x7E57 bcd=0x0200 "
                      "generation=0 interfaces=2\n"),
            std::string::npos);
  EXPECT_NE(text.find("request n=0 t_us=1000 connection=1 via=control "
                      "setup=40.01.0000.0000.0002 result=ack out=cafe in=-\n"),
            std::string::npos);
  EXPECT_NE(text.find("request n=1 t_us=1000 connection=1 via=control "
                      "setup=C0.03.1234.0002.0004 result=stall out=- in=-\n"),
            std::string::npos);
}

TEST(StateFileTest, AFailedRunCarriesItsReason) {
  std::unique_ptr<emu::Persona> persona = emu::MakePersona("test-device", {});
  emu_test::RedirLink link(persona->Device());
  link.Settle();
  link.HangUp();
  link.server->Pump(link.nowUs);
  const std::string text =
      emu::DescribeRun("test-device", *persona, link.server.get(), "hangup", 0).Text("s");
  EXPECT_EQ(text.find("failure"), std::string::npos);  // a hang-up is not a failure
  EXPECT_NE(text.find("event t_us=1000 what=hangup\n"), std::string::npos);
}

TEST(PersonaTest, CatalogueKnowsTheTestDeviceAndRefusesOtherNames) {
  ASSERT_FALSE(emu::PersonaCatalogue().empty());
  EXPECT_EQ(emu::PersonaCatalogue()[0].name, "test-device");
  EXPECT_THROW(emu::MakePersona("no-such-device", {}), std::invalid_argument);
}

TEST(PersonaTest, OptionsSetTheTestDevicesIdentity) {
  emu::PersonaOptions options;
  options.Add("vid=0x1111");
  options.Add("pid=8738");
  std::unique_ptr<emu::Persona> persona = emu::MakePersona("test-device", options);
  const std::vector<uint8_t> descriptor = persona->Device().DeviceDescriptor();
  EXPECT_EQ(descriptor[8] | (descriptor[9] << 8), 0x1111);
  EXPECT_EQ(descriptor[10] | (descriptor[11] << 8), 8738);
  EXPECT_EQ(descriptor[12] | (descriptor[13] << 8), td::kBcdDevice);
}

TEST(PersonaTest, BadOptionsAreRefused) {
  emu::PersonaOptions options;
  EXPECT_THROW(options.Add("vid"), std::invalid_argument);
  EXPECT_THROW(options.Add("=1"), std::invalid_argument);
  options.Add("vid=1");
  EXPECT_THROW(options.Add("vid=2"), std::invalid_argument);

  for (const char *bad : {"vid=0x10000", "vid=-1", "vid=12ab", "vid="}) {
    emu::PersonaOptions one;
    one.Add(bad);
    EXPECT_THROW(emu::MakePersona("test-device", one), std::invalid_argument) << bad;
  }
  emu::PersonaOptions unknown;
  unknown.Add("colour=blue");
  try {
    emu::MakePersona("test-device", unknown);
    ADD_FAILURE() << "an unknown option was accepted";
  } catch (const std::invalid_argument &e) {
    EXPECT_STREQ(e.what(), "option 'colour' is not known to this persona");
  }
}

}  // namespace
