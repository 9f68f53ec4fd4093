// The host's request to perform one action on named resources.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/json_reader.h"
#include "foundation/json_value.h"
#include "foundation/json_writer.h"

namespace tallowmere {

enum class Access : uint8_t { Read, Write };

std::string_view name_of(Access access);

struct ResourceRef {
  std::string resource_id;
  uint64_t expected_revision = 0;
  Access access = Access::Read;

  friend bool operator==(const ResourceRef&, const ResourceRef&) = default;
};

struct Intent {
  std::string intent_id;
  std::string action_id;
  uint64_t action_version = 1;
  std::vector<ResourceRef> resources;
  std::optional<std::string> idempotency_key;
  uint64_t ttl_ms = 30000;
  json::CanonicalText arguments = json::CanonicalText::empty_object();

  friend bool operator==(const Intent&, const Intent&) = default;
};

bool read(json::Reader& r, Access& out);
bool read(json::Reader& r, ResourceRef& out);
bool read(json::Reader& r, Intent& out);
void write(json::Writer& w, const ResourceRef& ref);
// The length of write's text, measured without writing it.
uint64_t text_length(const ResourceRef& ref);
void write(json::Writer& w, const Intent& intent);
uint64_t text_length(const Intent& intent);
json::Value to_value(const ResourceRef& ref);
// The text of to_value, written without building the value.
void write_sorted(json::Writer& w, const ResourceRef& ref);
json::Value to_value(const Intent& intent);
void write_sorted(json::Writer& w, const Intent& intent);

}  // namespace tallowmere
