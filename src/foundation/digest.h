// SHA-256 digests written as 64 lower-case hexadecimal characters.
#pragma once

#include <string>
#include <string_view>

#include "foundation/json_value.h"

namespace tallowmere {

std::string sha256_hex(std::string_view bytes);

// The digest of a value's canonical text.
std::string value_digest(const json::Value& value);

}  // namespace tallowmere
