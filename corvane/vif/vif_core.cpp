#include "vif_core.hpp"

#include <cmath>

namespace corvane::vif {

SignCounts count_signs(const double *ev, std::size_t n, double tol) {
    SignCounts c;
    for (std::size_t i = 0; i < n; ++i) {
        if (ev[i] > tol) ++c.pos;
        if (std::fabs(ev[i]) <= tol) ++c.zero;
        if (ev[i] < -tol) ++c.neg;
    }
    return c;
}

}  // namespace corvane::vif
