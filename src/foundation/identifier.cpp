#include "foundation/identifier.h"

namespace tallowmere {

bool is_identifier(std::string_view text) {
  if (text.empty() || text.size() > kMaxIdentifierBytes) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x20 || byte == 0x7F) return false;
    // U+0080..U+009F are encoded as C2 80..C2 9F and nowhere else.
    if (byte == 0xC2 && i + 1 < text.size()) {
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) return false;
    }
  }
  return true;
}

Check check_identifier(std::string_view text) {
  if (is_identifier(text)) return {};
  return fail(Code::kInvalidIdentifier);
}

}  // namespace tallowmere
