// Diagnostic lines are assembled piece by piece; numbers must come out exactly as a stream in the
// classic locale writes them.
#include <gtest/gtest.h>

#include <climits>
#include <limits>
#include <string>

#include "battery/diag_line.h"

namespace {

std::string Written(DiagLine line) {
  testing::internal::CaptureStdout();
  line.Write();
  return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(DiagLine, FloatsInTheStreamDefaultFormat) {
  struct Case {
    float value;
    const char* text;
  } const cases[] = {
      {1.8f, "1.8"},
      {2.25f, "2.25"},
      {0.0f, "0"},
      {-3.5f, "-3.5"},
      {100.0f, "100"},
      {123456.0f, "123456"},
      {1234567.0f, "1.23457e+06"},  // seven digits: exponent form
      {0.0001f, "0.0001"},
      {0.00001f, "1e-05"},
      {13.2f, "13.2"},  // 13.19999980926513671875 rounded to six digits
      {std::numeric_limits<float>::infinity(), "inf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Written(DiagLine().Text("value:").Float(c.value)),
              std::string("value:") + c.text + "\n");
  }
}

TEST(DiagLine, IntegersInPlainDecimal) {
  EXPECT_EQ(Written(DiagLine().Int(INT_MIN).Text(" ").Int(0).Text(" ").Int(INT_MAX)),
            "-2147483648 0 2147483647\n");
  EXPECT_EQ(Written(DiagLine().Unsigned(4294967295u).Text(" is missing")),
            "4294967295 is missing\n");
}

TEST(DiagLine, TextIsTakenByteForByte) {
  const std::string key("a\0b", 3);
  EXPECT_EQ(Written(DiagLine().Text("here ").Text(key)), std::string("here a\0b\n", 9));
}
