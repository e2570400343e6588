#include "port/catalogue.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

namespace tovrin::testing {
namespace {

// The conversions of a printf format as written ("%s", "%lld"), in order; "%%" is none.
std::vector<std::string> Conversions(std::string_view format) {
  std::vector<std::string> found;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') continue;
    if (i + 1 < format.size() && format[i + 1] == '%') {
      ++i;
      continue;
    }
    const std::size_t end = format.find_first_of("diouxXeEfFgGaAcspn", i + 1);
    found.emplace_back(format.substr(i, end == std::string_view::npos ? end : end - i + 1));
    if (end == std::string_view::npos) break;
    i = end;
  }
  return found;
}

// A translation whose conversions differ from the Japanese text's would hand printf values of
// the wrong type.
TEST(Catalogue, EveryLanguageHasEveryTextWithTheJapaneseConversions) {
  for (const Catalogue* catalogue : CATALOGUES) {
    SCOPED_TRACE(catalogue->language);
    for (std::size_t id = 0; id < TEXT_COUNT; ++id) {
      ASSERT_NE(catalogue->texts[id], nullptr) << id;
      EXPECT_EQ(Conversions(catalogue->texts[id]), Conversions(JAPANESE.texts[id]))
          << catalogue->texts[id];
    }
  }
}

}  // namespace
}  // namespace tovrin::testing
