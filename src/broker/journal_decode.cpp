#include "broker/journal_decode.h"

#include "foundation/boundary.h"

namespace tallowmere {

Result<Journal> decode_journal(std::string_view text) {
  return decode_boundary<Journal>(
      text, kJournalLimitBytes,
      [](json::Reader& reader, Journal& out) { return read(reader, out); }, kJournalDepthBudget);
}

}  // namespace tallowmere
