// Test runner entry: GoogleTest, closing with one summary line "tests: N passed, M failed".
#include <gtest/gtest.h>

#include <cstdio>

namespace {

class Summary : public ::testing::EmptyTestEventListener {
  void OnTestProgramEnd(const ::testing::UnitTest &unit) override {
    std::printf("tests: %d passed, %d failed\n", unit.successful_test_count(),
                unit.failed_test_count());
    std::fflush(stdout);
  }
};

}  // namespace

int main(int argc, char **argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::UnitTest::GetInstance()->listeners().Append(new Summary);
  return RUN_ALL_TESTS();
}
