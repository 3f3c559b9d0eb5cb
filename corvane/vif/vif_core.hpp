// VIF graph algorithms on plain C++ data.
#pragma once

#include <cstddef>
#include <vector>

namespace corvane::vif {

// Numbers of eigenvalues above tol, within [-tol, tol] and below -tol.
struct SignCounts {
    long pos = 0, zero = 0, neg = 0;
    bool operator==(const SignCounts &) const = default;
};

// Counts over a list of eigenvalues, with exactly the comparisons of the LPI:
// λ > tol, |λ| <= tol, λ < -tol.
SignCounts count_signs(const double *eigenvalues, std::size_t n, double tol);

// Symmetric matrix (row-major, n x n) reduced to tridiagonal form by
// Householder reflections: diagonal d and sub-diagonal e (e[0] unused).
// The matrix is overwritten.
void tridiagonalize(std::vector<double> &a, std::size_t n, std::vector<double> &d, std::vector<double> &e);

// Number of eigenvalues of the tridiagonal matrix (d, e) below x, by the
// Sturm sequence of T - xI.
std::size_t sturm_count_below(const std::vector<double> &d, const std::vector<double> &e, double x);

// The LPI counts of a symmetric matrix without computing its eigenvalues:
// one tridiagonal reduction and two Sturm counts at -tol and +tol.
SignCounts lpi_counts(std::vector<double> a, std::size_t n, double tol);

}  // namespace corvane::vif
