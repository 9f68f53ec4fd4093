// The score array text returned by both scorers' JSON entry points: compact,
// each score in the canonical double layout ("[0.5,1e-6,1.0]").
#pragma once

#include <span>
#include <string>

namespace tallowmere::policy {

std::string score_array_text(std::span<const double> scores);

}  // namespace tallowmere::policy
