#include "types/short_bytes.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace brindle {
namespace {

// Every length on both sides of each load width, with the one differing byte
// at every position: the overlapping loads must cover all of them, and a copy
// must touch nothing outside its range.
TEST(ShortBytesTest, CopyAndCompareCoverEveryByteAtEveryLength) {
  for (std::size_t n = 0; n <= 40; ++n) {
    std::string src(n, 'a');
    for (std::size_t i = 0; i < n; ++i) src[i] = static_cast<char>('a' + i % 26);
    std::string dst(n + 2, '#');
    copy_bytes(dst.data() + 1, src.data(), n);
    EXPECT_EQ(dst, "#" + src + "#") << n;
    EXPECT_TRUE(equal_bytes(src.data(), dst.data() + 1, n)) << n;
    for (std::size_t i = 0; i < n; ++i) {
      std::string other = src;
      other[i] = '!';
      EXPECT_FALSE(equal_bytes(src.data(), other.data(), n)) << n << " at " << i;
    }
  }
}

}  // namespace
}  // namespace brindle
