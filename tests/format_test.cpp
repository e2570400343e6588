#include "port/format.h"

#include <gtest/gtest.h>

#include "port/transfer_meter.h"

namespace tovrin {
namespace {

TEST(FormatLine, CutsLongLinesAtACharacterBoundary) {
  std::string text;
  for (int i = 0; i < 1400; ++i) text += "表";  // three bytes each in UTF-8
  const std::string line = FormatLine("recv > %s", text.c_str());
  EXPECT_LE(line.size(), MAX_LOG_LINE);
  EXPECT_EQ((line.size() - 7) % 3, 0u);
  EXPECT_EQ(FormatLine("%d bytes", 5), "5 bytes");
}

TEST(StatusLine, FormatsBothDirections) {
  EXPECT_EQ(FormatStatusLine(350, 125, 12, 3725), "350K(2:05)/12K(62:05)");
  EXPECT_EQ(FormatStatusLine(0, 0, 0, 59), "0K(0:00)/0K(0:59)");
  EXPECT_EQ(FormatStatusLine(1, 60, 1, -61), "1K(1:00)/1K(-1:-1)");
}

}  // namespace
}  // namespace tovrin
