// The rule every stored identifier obeys: 1 to 512 UTF-8 bytes and no
// control character (U+0000-U+001F, U+007F-U+009F).
#pragma once

#include <string_view>

#include "foundation/result.h"

namespace tallowmere {

inline constexpr size_t kMaxIdentifierBytes = 512;

bool is_identifier(std::string_view text);

// Succeeds, or fails with the one identifier error text.
Check check_identifier(std::string_view text);

}  // namespace tallowmere
