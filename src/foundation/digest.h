// SHA-256 digests written as 64 lower-case hexadecimal characters.
#pragma once

#include <string>
#include <string_view>

namespace tallowmere {

std::string sha256_hex(std::string_view bytes);

}  // namespace tallowmere
