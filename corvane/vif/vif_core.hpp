// VIF graph algorithms on plain C++ data: sign counts of a spectrum.
#pragma once

#include <cstddef>
#include <vector>

namespace corvane::vif {

// Numbers of eigenvalues above tol, within [-tol, tol] and below -tol.
struct SignCounts {
    long pos = 0, zero = 0, neg = 0;
    bool operator==(const SignCounts &) const = default;
};

SignCounts count_signs(const double *eigenvalues, std::size_t n, double tol);

}  // namespace corvane::vif
