// What every record offers: read(Reader&, T&) for its JSON forms,
// write(Writer&, const T&) for its canonical text in declared field order, and
// to_value(const T&) for the generic value whose keys come out sorted.
#pragma once

#include <string>

#include "foundation/json_writer.h"

namespace tallowmere {

// The canonical text of any record, for a result or a measure: both are
// dropped soon.
template <class T>
std::string to_text(const T& record) {
  json::Writer writer(json::kTransientCapacity);
  write(writer, record);
  return writer.take();
}

// The canonical text of to_value(record), written without building the value.
template <class T>
std::string value_text(const T& record) {
  json::Writer writer(json::kTransientCapacity);
  write_sorted(writer, record);
  return writer.take();
}

}  // namespace tallowmere
