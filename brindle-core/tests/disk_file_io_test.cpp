#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "disk/file_io.hpp"

namespace brindle::disk {
namespace {

class AllZero : public testing::TestWithParam<std::size_t> {};

TEST_P(AllZero, FindsAnyNonZeroByte) {
  std::vector<std::byte> bytes(GetParam());
  EXPECT_TRUE(is_all_zero(bytes));
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    bytes[at] = std::byte{0x80};
    EXPECT_FALSE(is_all_zero(bytes)) << "size " << bytes.size() << ", non-zero byte at " << at;
    bytes[at] = std::byte{0};
  }
}

// Around the hand-checked head of 16 bytes, and longer spans.
INSTANTIATE_TEST_SUITE_P(Sizes, AllZero, testing::Values(0, 1, 15, 16, 17, 33, 4099));

TEST(PageBuffer, IsPageAlignedAndZeroFilled) {
  auto buffer = PageBuffer::allocate(1'048'576);
  ASSERT_TRUE(buffer.has_value());
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer->data()) % sysconf(_SC_PAGESIZE), 0u);
  EXPECT_EQ(buffer->size(), 1'048'576u);
  EXPECT_TRUE(is_all_zero(buffer->span()));
}

}  // namespace
}  // namespace brindle::disk
