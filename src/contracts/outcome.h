// What the host verified about an effect.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "foundation/json_fields.h"
#include "foundation/json_reader.h"
#include "foundation/json_value.h"
#include "foundation/json_writer.h"

namespace tallowmere {

enum class OutcomeStatus : uint8_t { CompletedVerified, FailedVerified, CancelledVerified, EffectUnknown };

std::string_view name_of(OutcomeStatus status);

struct Outcome {
  OutcomeStatus status = OutcomeStatus::CompletedVerified;
  StringSet changed_resources;
  StringMap<std::string> resource_fingerprints;
  json::CanonicalText evidence = json::CanonicalText::empty_object();

  friend bool operator==(const Outcome&, const Outcome&) = default;
};

bool read(json::Reader& r, OutcomeStatus& out);
bool read(json::Reader& r, Outcome& out);
void write(json::Writer& w, const Outcome& outcome);
// The length of write's text, measured without writing it.
uint64_t text_length(const Outcome& outcome);
json::Value to_value(const Outcome& outcome);
// The text of to_value, written without building the value.
void write_sorted(json::Writer& w, const Outcome& outcome);

}  // namespace tallowmere
