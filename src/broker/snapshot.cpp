// The read-only view of a core.
#include "broker/core.h"

#include "foundation/json_writer.h"

namespace tallowmere {

json::Value Core::snapshot() const {
  return json::make_object({{"journal_sequence", journal_sequence(journal_)},
                            {"journal_tip", journal_tip(journal_)},
                            {"revision", state_.revision},
                            {"schema_version", uint64_t{kSchemaVersion}},
                            {"state", to_value(state_)},
                            {"tick_ms", clock_ms_},
                            {"workspace_id", config_.workspace_id}});
}

std::string Core::snapshot_text() const { return json::to_text(snapshot()); }

}  // namespace tallowmere
