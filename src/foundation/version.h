// The module's release and the name of the engine behind it.
#pragma once

namespace tallowmere {

inline constexpr char kVersion[] = "0.1.0";
inline constexpr char kEngine[] = "tallowmere-cpp";

}  // namespace tallowmere
