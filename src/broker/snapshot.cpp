// The read-only view of a core, written directly: no generic value of the
// state is built on the way.
#include "broker/core.h"

#include "foundation/json_writer.h"

namespace tallowmere {

std::string Core::snapshot_text() const {
  json::Writer w;
  w.begin_object();
  w.key("journal_sequence");
  w.u64(journal_sequence(journal_));
  w.key("journal_tip");
  w.string(journal_tip(journal_));
  w.key("revision");
  w.u64(state_.revision);
  w.key("schema_version");
  w.u64(kSchemaVersion);
  w.key("state");
  write_sorted(w, state_);
  w.key("tick_ms");
  w.u64(clock_ms_);
  w.key("workspace_id");
  w.string(config_.workspace_id);
  w.end_object();
  return w.take();
}

}  // namespace tallowmere
