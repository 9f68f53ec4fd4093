#include "policy/export_fields.h"

namespace tallowmere::policy {

float to_f32(const json::Number& number) {
  switch (number.kind) {
    case json::Number::Kind::Unsigned: return static_cast<float>(number.u);
    case json::Number::Kind::Signed: return static_cast<float>(number.i);
    case json::Number::Kind::Double: return static_cast<float>(number.d);
  }
  return 0.0f;
}

double to_f64(const json::Number& number) {
  switch (number.kind) {
    case json::Number::Kind::Unsigned: return static_cast<double>(number.u);
    case json::Number::Kind::Signed: return static_cast<double>(number.i);
    case json::Number::Kind::Double: return number.d;
  }
  return 0.0;
}

namespace {

bool read_number_as(json::Reader& r, json::Number& out, std::string_view expected) {
  json::Reader::Kind kind;
  if (!r.peek(kind)) return false;
  if (kind != json::Reader::Kind::Number) return r.fail_type(expected);
  return r.read_number(out);
}

}  // namespace

bool read_f32(json::Reader& r, float& out) {
  json::Number number;
  if (!read_number_as(r, number, "f32")) return false;
  out = to_f32(number);
  return true;
}

bool read_f64(json::Reader& r, double& out) {
  json::Number number;
  if (!read_number_as(r, number, "f64")) return false;
  out = to_f64(number);
  return true;
}

}  // namespace tallowmere::policy
