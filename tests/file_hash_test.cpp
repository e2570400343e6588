#include "protocol/file_hash.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace tovrin {
namespace {

std::string Hex(const Digest& digest) {
  static const char* digits = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : digest) {
    text += digits[byte >> 4];
    text += digits[byte & 15];
  }
  return text;
}

// A peer on another machine computes the same digest whatever vector unit either side has:
// every unit this CPU runs matches XXH3-128's published value for no bytes, and the baseline
// unit's digest of a long input fed in one piece, however the input is cut.
TEST(FileHash, EveryUnitGivesTheSameDigestHoweverTheBytesAreCut) {
  std::vector<unsigned char> data(5 * 1024 * 1024 + 13);
  uint32_t seed = 12345;
  for (auto& byte : data)
    byte = static_cast<unsigned char>((seed = seed * 1103515245 + 12345) >> 24);
  FileHash whole(HashUnit::kBaseline);
  whole.Update(data.data(), data.size());
  const Digest expected = whole.Value();

  const std::vector<std::size_t> cuts = {1, 63, 64, 65, 240, 1023, 1024, 4103, 65536, 1 << 20};
  for (HashUnit unit : {HashUnit::kBaseline, HashUnit::kAvx2, HashUnit::kAvx512}) {
    if (!HashUnitAvailable(unit)) continue;
    SCOPED_TRACE(static_cast<int>(unit));
    FileHash hash(unit);
    EXPECT_EQ(Hex(hash.Value()), "99aa06d3014798d86001c324468d497f");
    std::size_t at = 0;
    for (std::size_t i = 0; at < data.size(); ++i) {
      const std::size_t piece = std::min(cuts[i % cuts.size()], data.size() - at);
      hash.Update(data.data() + at, piece);
      at += piece;
    }
    EXPECT_EQ(hash.Value(), expected);
    hash.Reset();
    hash.Update("xy", 2);
    FileHash baseline(HashUnit::kBaseline);
    baseline.Update("xy", 2);
    EXPECT_EQ(hash.Value(), baseline.Value());
  }
  EXPECT_TRUE(HashUnitAvailable(HashUnit::kBaseline));
}

}  // namespace
}  // namespace tovrin
