// Lossy decoding never fails, always yields valid UTF-8, and leaves valid input unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/utf8.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::string decoded = brindle::decode_utf8_lossy(input);
  if (!brindle::is_valid_utf8(decoded)) std::abort();
  if (brindle::is_valid_utf8(input) != (decoded == input)) std::abort();
  return 0;
}
