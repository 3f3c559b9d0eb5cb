// Element colour maps of the drawings: node colour by element symbol.
#pragma once

#include <utility>
#include <vector>

namespace corvane::drawing {

using ColorMap = std::vector<std::pair<const char *, const char *>>;

// The ten-entry map of the VIF driver's drawing and the VIF panel.
const ColorMap &element_colors();
// The seven-entry map of the halogen test.
const ColorMap &halogen_colors();
// The colour of a symbol that a map does not hold.
inline constexpr const char *kUnknownColor = "gray";

}  // namespace corvane::drawing
