// Variables: the two-call size protocol of GetVariable and failable reads.
#include "platform/Platform.h"
#include "support/SimTest.h"

namespace {

const EFI_GUID kVendor = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
const UINT32 kAttributes = EFI_VARIABLE_BOOTSERVICE_ACCESS | EFI_VARIABLE_RUNTIME_ACCESS;

class VariableTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    P.SetVariable(u"KvrSetting", kVendor, kAttributes, {1, 2, 3, 4, 5});
  }
  EFI_STATUS Get(const CHAR16 *name, UINT32 *attributes, UINTN *size, void *data) {
    EFI_GUID vendor = kVendor;
    return RuntimeServices->GetVariable(const_cast<CHAR16 *>(name), &vendor, attributes, size,
                                        data);
  }
};

TEST_F(VariableTest, SizeQueryThenRead) {
  UINT32 attributes = 0;
  UINTN size = 0;
  ASSERT_EQ(Get(u"KvrSetting", &attributes, &size, NULL), EFI_BUFFER_TOO_SMALL);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(attributes, kAttributes);

  std::vector<uint8_t> data(size + 3, 0xEE);
  size = data.size();
  attributes = 0;
  ASSERT_EQ(Get(u"KvrSetting", &attributes, &size, data.data()), EFI_SUCCESS);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(attributes, kAttributes);
  EXPECT_EQ(data, (std::vector<uint8_t>{1, 2, 3, 4, 5, 0xEE, 0xEE, 0xEE}));
}

TEST_F(VariableTest, LargeEnoughSizeWithNoBufferIsInvalidParameter) {
  UINTN size = 5;
  EXPECT_EQ(Get(u"KvrSetting", NULL, &size, NULL), EFI_INVALID_PARAMETER);
}

TEST_F(VariableTest, MissingDeletedAndWrongVendorAreNotFound) {
  UINTN size = 0;
  EXPECT_EQ(Get(u"KvrOther", NULL, &size, NULL), EFI_NOT_FOUND);
  EFI_GUID otherVendor = kVendor;
  otherVendor.Data1 ^= 1;
  EXPECT_EQ(RuntimeServices->GetVariable(const_cast<CHAR16 *>(u"KvrSetting"), &otherVendor,
                                         NULL, &size, NULL),
            EFI_NOT_FOUND);
  P.DeleteVariable(u"KvrSetting", kVendor);
  EXPECT_EQ(Get(u"KvrSetting", NULL, &size, NULL), EFI_NOT_FOUND);
}

TEST_F(VariableTest, FailedVariableReturnsItsStatusAndReadsAreCounted) {
  P.FailGetVariable(u"KvrSetting", EFI_DEVICE_ERROR);
  UINTN size = 64;
  uint8_t data[64];
  EXPECT_EQ(Get(u"KvrSetting", NULL, &size, data), EFI_DEVICE_ERROR);
  EXPECT_EQ(Get(u"KvrSetting", NULL, &size, data), EFI_DEVICE_ERROR);
  EXPECT_EQ(P.GetVariableCalls(u"KvrSetting"), 2u);
  EXPECT_EQ(P.GetVariableCalls(u"KvrOther"), 0u);
}

TEST_F(VariableTest, NullArgumentsAreInvalidParameter) {
  UINTN size = 0;
  EXPECT_EQ(Get(NULL, NULL, &size, NULL), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Get(u"KvrSetting", NULL, NULL, NULL), EFI_INVALID_PARAMETER);
}

}  // namespace
