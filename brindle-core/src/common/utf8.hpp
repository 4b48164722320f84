// UTF-8 validation and lossy decoding of bytes received from peers.
#pragma once

#include <string>
#include <string_view>

namespace brindle {

bool is_valid_utf8(std::string_view bytes);

// Valid sequences are copied; each maximal subpart of an ill-formed sequence becomes one U+FFFD.
// Never fails.
std::string decode_utf8_lossy(std::string_view bytes);

}  // namespace brindle
