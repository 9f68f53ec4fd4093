#include "core/digest.h"

#include <openssl/sha.h>

#include "core/json_writer.h"

namespace tallowmere {

std::string sha256_hex(std::string_view bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(2 * SHA256_DIGEST_LENGTH, '0');
  for (size_t i = 0; i < SHA256_DIGEST_LENGTH; ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0x0F];
  }
  return out;
}

std::string value_digest(const json::Value& value) { return sha256_hex(json::to_text(value)); }

}  // namespace tallowmere
