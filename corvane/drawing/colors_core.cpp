#include "colors_core.hpp"

namespace corvane::drawing {

const ColorMap &element_colors() {
    static const ColorMap m = {
        {"C", "red"},      {"Li", "orange"}, {"H", "skyblue"}, {"Cl", "lightgreen"}, {"O", "red"},
        {"B", "pink"},     {"N", "violet"},  {"F", "yellow"},  {"S", "gold"},        {"P", "darkorange"},
    };
    return m;
}

const ColorMap &halogen_colors() {
    static const ColorMap m = {
        {"C", "red"}, {"H", "skyblue"}, {"Cl", "lightgreen"}, {"O", "red"},
        {"N", "violet"}, {"F", "yellow"}, {"Br", "brown"},
    };
    return m;
}

}  // namespace corvane::drawing
