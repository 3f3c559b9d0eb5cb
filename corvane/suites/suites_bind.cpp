#include "../module/registry.hpp"

namespace corvane::suites {

py::object VIF_panel(const Args &) { not_implemented("VIF_panel"); }
py::object VIF_ms_panel(const Args &) { not_implemented("VIF_ms_panel"); }
py::object triple_group_demo(const Args &) { not_implemented("triple_group_demo"); }
py::object halogen_test(const Args &) { not_implemented("halogen_test"); }
py::object validate(const Args &) { not_implemented("validate"); }

}  // namespace corvane::suites
