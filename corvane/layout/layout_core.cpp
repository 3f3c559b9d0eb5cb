#include "layout_core.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <numbers>
#include <unordered_map>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// The force step's 256-bit paths, compiled for AVX2 on x86-64 and chosen at
// run time where the processor has it.
#if defined(__x86_64__) && defined(__GNUC__) && defined(__has_attribute)
#if __has_attribute(target)
#define CORVANE_WIDE 1
#include <immintrin.h>
#endif
#endif
#ifndef CORVANE_WIDE
#define CORVANE_WIDE 0
#endif

namespace corvane::layout {

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kTwoPi = 2 * std::numbers::pi;

// Ascending insertion sort with plain `<`: bounded for any input (NaN
// included), and exact for the handful of angles of one atom.
void insertion_sort(std::vector<double> &v) {
    for (std::size_t i = 1; i < v.size(); ++i) {
        double x = v[i];
        std::size_t j = i;
        while (j > 0 && x < v[j - 1]) {
            v[j] = v[j - 1];
            --j;
        }
        v[j] = x;
    }
}

double pairwise_sum(const double *a, std::size_t n, std::size_t stride) {
    if (n < 8) {
        double res = 0.0;
        for (std::size_t i = 0; i < n; ++i) res += a[i * stride];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (std::size_t k = 0; k < 8; ++k) r[k] = a[k * stride];
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8)
            for (std::size_t k = 0; k < 8; ++k) r[k] += a[(i + k) * stride];
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i * stride];
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2, stride) + pairwise_sum(a + n2 * stride, n - n2, stride);
}

}  // namespace

double angle_diff(double a, double b) {
    double d = a - b;
    return std::fabs(py_mod(d + kPi, kTwoPi) - kPi);
}

namespace {

// The widest-gap loop as written: every round reduces and sorts all angles.
// Used when a target is not finite (NaN orders nothing, so the sorted
// order depends on the insertion sort's moves).
void add_angles_plain(std::vector<double> &angles, long n_nodes, const Stop &stop) {
    std::vector<double> sorted_a;
    while (static_cast<long>(angles.size()) < n_nodes) {
        if (stop && stop()) throw Interrupted();
        sorted_a.clear();
        for (double a : angles) sorted_a.push_back(py_mod(a, kTwoPi));
        insertion_sort(sorted_a);
        if (sorted_a.size() == 1) {
            angles.push_back(py_mod(sorted_a[0] + kPi, kTwoPi));
            continue;
        }
        double widest = -1.0, middle = 0.0;
        const std::size_t m = sorted_a.size();
        for (std::size_t i = 0; i < m; ++i) {
            double a1 = sorted_a[i];
            double a2 = sorted_a[(i + 1) % m];
            double gap = py_mod(a2 - a1, kTwoPi);
            if (gap > widest) {
                widest = gap;
                middle = py_mod(a1 + gap / 2.0, kTwoPi);
            }
        }
        angles.push_back(middle);
    }
}

// The same loop with the sorted directions and their gaps kept from round
// to round.  The reduced values are finite and never -0.0, so any sort
// gives the same sequence; gap[i] is py_mod(s[i+1] - s[i]) (wrapping at the
// end), recomputed for the two gaps an insertion splits; the widest gap is
// the first strict maximum, and its middle is formed from the same a1 and
// gap as the plain loop forms it.
void add_angles_sorted(std::vector<double> &angles, long n_nodes, const Stop &stop) {
    std::vector<double> s, gap;
    s.reserve(static_cast<std::size_t>(n_nodes));
    gap.reserve(static_cast<std::size_t>(n_nodes));
    for (double a : angles) s.push_back(py_mod(a, kTwoPi));
    std::sort(s.begin(), s.end());
    auto gap_at = [&](std::size_t i) { return py_mod(s[(i + 1) % s.size()] - s[i], kTwoPi); };
    for (std::size_t i = 0; i < s.size(); ++i) gap.push_back(gap_at(i));
    while (static_cast<long>(angles.size()) < n_nodes) {
        if (stop && stop()) throw Interrupted();
        double added;
        if (s.size() == 1) {
            added = py_mod(s[0] + kPi, kTwoPi);
        } else {
            double widest = -1.0;
            std::size_t at = 0;
            for (std::size_t i = 0; i < gap.size(); ++i) {
                if (gap[i] > widest) {
                    widest = gap[i];
                    at = i;
                }
            }
            added = py_mod(s[at] + widest / 2.0, kTwoPi);
        }
        angles.push_back(added);
        const double r = py_mod(added, kTwoPi);
        const auto p = static_cast<std::size_t>(std::upper_bound(s.begin(), s.end(), r) - s.begin());
        s.insert(s.begin() + static_cast<std::ptrdiff_t>(p), r);
        gap.insert(gap.begin() + static_cast<std::ptrdiff_t>(p), 0.0);
        const std::size_t m = s.size();
        gap[(p + m - 1) % m] = gap_at((p + m - 1) % m);
        gap[p] = gap_at(p);
    }
}

}  // namespace

std::vector<double> node_angles(long n_nodes, const std::vector<double> &targets, const Stop &stop) {
    if (n_nodes == 1) return {0.0};
    // A slice up to n_nodes (negative: counted from the end).
    const long len = static_cast<long>(targets.size());
    long stop_at = n_nodes < 0 ? std::max(0L, len + n_nodes) : std::min(len, n_nodes);
    std::vector<double> angles(targets.begin(), targets.begin() + stop_at);
    if (angles.empty()) {
        if (n_nodes == 0) throw std::domain_error("float division by zero");
        std::vector<double> out;
        if (n_nodes < 0) return out;
        const double step = kTwoPi / static_cast<double>(n_nodes);
        out.reserve(static_cast<std::size_t>(n_nodes));
        for (long i = 0; i < n_nodes; ++i) {
            if ((i & 0xFFFF) == 0 && stop && stop()) throw Interrupted();
            out.push_back(static_cast<double>(i) * step);
        }
        return out;
    }
    if (static_cast<long>(angles.size()) >= n_nodes) return angles;
    angles.reserve(static_cast<std::size_t>(n_nodes));
    const bool finite = std::all_of(angles.begin(), angles.end(), [](double a) { return std::isfinite(a); });
    if (finite)
        add_angles_sorted(angles, n_nodes, stop);
    else
        add_angles_plain(angles, n_nodes, stop);
    return angles;
}

double numpy_sum(const double *a, std::size_t n, std::size_t stride) {
    double io = 0.0;
    io += pairwise_sum(a, n, stride);
    return io;
}

Groups groups_of(const std::vector<long> &class_ids) {
    Groups g;
    for (std::size_t i = 0; i < class_ids.size(); ++i) {
        std::size_t c = static_cast<std::size_t>(class_ids[i]);
        if (c >= g.size()) g.resize(c + 1);
        g[c].push_back(static_cast<long>(i));
    }
    return g;
}

std::vector<long> number_classes(const std::vector<long long> &keys) {
    std::unordered_map<long long, long> ids;
    std::vector<long> out;
    out.reserve(keys.size());
    for (long long k : keys) out.push_back(ids.emplace(k, static_cast<long>(ids.size())).first->second);
    return out;
}

void radial_equalize(double *xy, const Groups &groups, NormKind nk) {
    std::vector<double> dists;
    for (const auto &members : groups) {
        const std::size_t k = members.size();
        if (k < 2) continue;
        double cx = 0.0, cy = 0.0;
        for (long m : members) {
            cx += xy[2 * m];
            cy += xy[2 * m + 1];
        }
        cx /= static_cast<double>(k);
        cy /= static_cast<double>(k);
        dists.resize(k);
        for (std::size_t i = 0; i < k; ++i) {
            double rx = xy[2 * members[i]] - cx;
            double ry = xy[2 * members[i] + 1] - cy;
            dists[i] = std::sqrt(rx * rx + ry * ry);
        }
        const double avg = numpy_sum(dists.data(), k) / static_cast<double>(k);
        if (avg < 1e-9) continue;
        for (long m : members) {
            double vx = xy[2 * m] - cx;
            double vy = xy[2 * m + 1] - cy;
            double L = norm2(vx, vy, nk);
            if (L > 1e-9) {
                double s = avg / L;
                xy[2 * m] = cx + vx * s;
                xy[2 * m + 1] = cy + vy * s;
            }
        }
    }
}

void center(double *xy, std::size_t n) {
    double mx = 0.0, my = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        mx += xy[2 * i];
        my += xy[2 * i + 1];
    }
    mx /= static_cast<double>(n);
    my /= static_cast<double>(n);
    for (std::size_t i = 0; i < n; ++i) {
        xy[2 * i] -= mx;
        xy[2 * i + 1] -= my;
    }
}

BondTable::BondTable(std::size_t n_atoms, std::vector<std::pair<long, long>> bonds)
    : bonds_(std::move(bonds)), higher_(n_atoms) {
    for (auto [u, v] : bonds_) {
        long lo = std::min(u, v), hi = std::max(u, v);
        higher_[static_cast<std::size_t>(lo)].push_back(hi);
    }
    for (auto &h : higher_) {
        std::sort(h.begin(), h.end());
        h.erase(std::unique(h.begin(), h.end()), h.end());
    }
}

namespace {

// Skin of the pair list, as a fraction of min_nb, and the share of it an
// atom pair may close before the list is rebuilt.
constexpr double kSkin = 0.5;
constexpr double kSkinUse = 0.9;

// From this many atoms on, rescans look for partners in a grid of cells.
constexpr std::size_t kGridAtoms = 160;

double squared(double dx, double dy, NormKind nk) {
    return nk == NormKind::fused ? std::fma(dy, dy, dx * dx) : dx * dx + dy * dy;
}

// Whether the pair list still covers every pair that can interact: all
// coordinates finite, and no two atoms together farther than kSkinUse * skin
// from where they were when the list was built (a pair's distance changes by
// at most the sum of its atoms' moves, so the two largest moves bound them
// all).
bool list_holds(const double *xy, std::size_t n, double skin, const StepScratch &s) {
    if (!s.listed) return false;
    double first = 0.0, second = 0.0;  // the two largest squared moves
    for (std::size_t k = 0; k < n; ++k) {
        const double dx = xy[2 * k] - s.ref[2 * k], dy = xy[2 * k + 1] - s.ref[2 * k + 1];
        const double d2 = dx * dx + dy * dy;
        if (!(d2 <= second)) {
            if (std::isnan(d2)) return false;
            if (d2 > first) {
                second = first;
                first = d2;
            } else {
                second = d2;
            }
        }
    }
    return std::sqrt(first) + std::sqrt(second) < kSkinUse * skin;
}

// Sorts the atoms (finite coordinates) into square cells of side at least
// h over their bounding box, cells_x by cells_y of them, row by row; the
// atoms of each cell are in ascending order.  Cells grow when there would be more than a few per atom.
// False when h is not usable or the box too wide for any.
bool build_cells(const double *xy, std::size_t n, double h, StepScratch &s) {
    if (n == 0 || !(h > 0.0) || !std::isfinite(h)) return false;
    double x0 = xy[0], x1 = xy[0], y0 = xy[1], y1 = xy[1];
    for (std::size_t k = 1; k < n; ++k) {
        x0 = std::min(x0, xy[2 * k]);
        x1 = std::max(x1, xy[2 * k]);
        y0 = std::min(y0, xy[2 * k + 1]);
        y1 = std::max(y1, xy[2 * k + 1]);
    }
    const double max_cells = 4.0 * static_cast<double>(n) + 64.0;
    double wx = 0.0, wy = 0.0;
    for (int tries = 0;; ++tries) {
        wx = std::floor((x1 - x0) / h) + 1.0;
        wy = std::floor((y1 - y0) / h) + 1.0;
        if (!std::isfinite(wx) || !std::isfinite(wy) || tries > 64) return false;
        if (wx * wy <= max_cells) break;
        h *= 2.0;
    }
    const auto nx = static_cast<std::size_t>(wx), ny = static_cast<std::size_t>(wy);
    s.cell_of.resize(n);
    s.cells_x = nx;
    s.cells_y = ny;
    s.cell_start.assign(nx * ny + 1, 0);
    for (std::size_t k = 0; k < n; ++k) {
        const auto cx = std::min(nx - 1, static_cast<std::size_t>((xy[2 * k] - x0) / h));
        const auto cy = std::min(ny - 1, static_cast<std::size_t>((xy[2 * k + 1] - y0) / h));
        s.cell_of[k] = cy * nx + cx;
        ++s.cell_start[cy * nx + cx + 1];
    }
    for (std::size_t c = 0; c < nx * ny; ++c) s.cell_start[c + 1] += s.cell_start[c];
    // (Room past the last atom for the rescans' four-at-a-time copies.)
    s.cell_atoms.resize(n + 4);
    for (std::size_t k = 0; k < n; ++k) s.cell_atoms[s.cell_start[s.cell_of[k]]++] = k;
    // The fill moved each start to the next cell's: shift them back.
    for (std::size_t c = nx * ny; c > 0; --c) s.cell_start[c] = s.cell_start[c - 1];
    s.cell_start[0] = 0;
    return true;
}

// Pairs that may repel are gathered in batches, in visiting order, and
// repelled together: the square roots and quotients of neighbouring pairs
// are formed side by side (the same correctly rounded operations as one pair
// at a time), then the forces are added in the pairs' order.
constexpr std::size_t kBatch = 512;
// Room past a batch's count for whole-vector stores.
constexpr std::size_t kSlack = 4;

inline std::uint64_t pair_key(std::size_t i, std::size_t j) {
    return static_cast<std::uint64_t>(i) | static_cast<std::uint64_t>(j) << 32;
}

// Adds the batch's forces in its order: each pair in range (1e-9 <= L <
// min_nb) pushes i by -(fx, fy) and j by +(fx, fy).  A run of pairs of the
// same atom i keeps i's force in registers (no later pair of the run is
// i's: j > i), so the sums are the same operations in the same order.
void add_forces(std::size_t m, const std::uint64_t *pair, const double *len, const double *fxy, double min_nb,
                double *f) {
    std::size_t cur = SIZE_MAX;
#if defined(__SSE2__)
    // (x, y) as one packed pair: the same two roundings.
    __m128d fi = _mm_setzero_pd();
    for (std::size_t k = 0; k < m; ++k) {
        const double L = len[k];
        if (L < 1e-9 || !(L < min_nb)) continue;
        const std::size_t i = static_cast<std::uint32_t>(pair[k]), j = pair[k] >> 32;
        if (i != cur) {
            if (cur != SIZE_MAX) _mm_storeu_pd(f + 2 * cur, fi);
            cur = i;
            fi = _mm_loadu_pd(f + 2 * i);
        }
        const __m128d fk = _mm_loadu_pd(fxy + 2 * k);
        fi = _mm_sub_pd(fi, fk);
        _mm_storeu_pd(f + 2 * j, _mm_add_pd(_mm_loadu_pd(f + 2 * j), fk));
    }
    if (cur != SIZE_MAX) _mm_storeu_pd(f + 2 * cur, fi);
#else
    double cx = 0.0, cy = 0.0;
    for (std::size_t k = 0; k < m; ++k) {
        const double L = len[k];
        if (L < 1e-9 || !(L < min_nb)) continue;
        const std::size_t i = static_cast<std::uint32_t>(pair[k]), j = pair[k] >> 32;
        if (i != cur) {
            if (cur != SIZE_MAX) {
                f[2 * cur] = cx;
                f[2 * cur + 1] = cy;
            }
            cur = i;
            cx = f[2 * i];
            cy = f[2 * i + 1];
        }
        cx -= fxy[2 * k];
        cy -= fxy[2 * k + 1];
        f[2 * j] += fxy[2 * k];
        f[2 * j + 1] += fxy[2 * k + 1];
    }
    if (cur != SIZE_MAX) {
        f[2 * cur] = cx;
        f[2 * cur + 1] = cy;
    }
#endif
}

#if CORVANE_WIDE
// Whether this processor runs the 256-bit paths: AVX2 and fused
// multiply-add, with the wide registers saved by the system (the check
// looks at that too).
bool wide_ok() {
    static const bool ok = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    }();
    return ok;
}

// For each 4-bit mask of kept 64-bit lanes, the 32-bit lanes that bring the
// kept ones to the front (the rest: anything).  The vectors hold four pairs
// in the order (0, 2, 1, 3), as their offsets are formed (see offer_wide);
// the kept ones are brought to the front in the pairs' own order.
struct Compress {
    alignas(32) std::int32_t lanes[16][8];
};
constexpr Compress make_compress_0213() {
    Compress c{};
    constexpr int lane_of[4] = {0, 2, 1, 3};
    for (int m = 0; m < 16; ++m) {
        int o = 0;
        for (int p = 0; p < 4; ++p)
            if (m >> lane_of[p] & 1) {
                c.lanes[m][2 * o] = 2 * lane_of[p];
                c.lanes[m][2 * o + 1] = 2 * lane_of[p] + 1;
                ++o;
            }
        for (; o < 4; ++o) {
            c.lanes[m][2 * o] = 0;
            c.lanes[m][2 * o + 1] = 1;
        }
    }
    return c;
}
constexpr Compress kCompress0213 = make_compress_0213();

// The listed pairs [0, count) offered to the batch arrays from place m,
// four at a time (no gathers: each row is one 128-bit load): offsets and
// squared distance of each pair as the scalar code forms them (fused:
// fma(dy, dy, dx * dx)), kept when the squared
// distance is below far2 or NaN; the kept ones are packed to the front and
// the count moves on by their number.  Each pair's (dx, dy) is one packed
// subtraction of its rows; four of them are then split into a vector of
// dx and one of dy, lanes in the order (0, 2, 1, 3).
template <bool Fused>
__attribute__((target("avx2,fma"))) std::size_t offer_wide(const std::uint64_t *pairs, std::size_t count,
                                                          const double *xy, double far2, std::uint64_t *bp,
                                                          double *bdx, double *bdy, double *bd2, std::size_t m) {
    const __m256d far = _mm256_set1_pd(far2);
    auto offset = [xy](std::uint64_t pr) {
        const std::size_t i = static_cast<std::uint32_t>(pr), j = pr >> 32;
        return _mm_sub_pd(_mm_loadu_pd(xy + 2 * j), _mm_loadu_pd(xy + 2 * i));
    };
    std::size_t k = 0;
    for (; k + 4 <= count; k += 4) {
        const __m256d t0 = _mm256_insertf128_pd(_mm256_castpd128_pd256(offset(pairs[k])), offset(pairs[k + 1]), 1);
        const __m256d t1 =
            _mm256_insertf128_pd(_mm256_castpd128_pd256(offset(pairs[k + 2])), offset(pairs[k + 3]), 1);
        const __m256d dx = _mm256_unpacklo_pd(t0, t1), dy = _mm256_unpackhi_pd(t0, t1);
        const __m256d xx = _mm256_mul_pd(dx, dx);
        const __m256d d2 = Fused ? _mm256_fmadd_pd(dy, dy, xx) : _mm256_add_pd(xx, _mm256_mul_pd(dy, dy));
        const int mask = _mm256_movemask_pd(_mm256_cmp_pd(d2, far, _CMP_NGE_UQ));
        const __m256i sel = _mm256_load_si256(reinterpret_cast<const __m256i *>(kCompress0213.lanes[mask]));
        const __m256i pr = _mm256_permute4x64_epi64(
            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(pairs + k)), _MM_SHUFFLE(3, 1, 2, 0));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(bp + m), _mm256_permutevar8x32_epi32(pr, sel));
        _mm256_storeu_ps(reinterpret_cast<float *>(bdx + m), _mm256_permutevar8x32_ps(_mm256_castpd_ps(dx), sel));
        _mm256_storeu_ps(reinterpret_cast<float *>(bdy + m), _mm256_permutevar8x32_ps(_mm256_castpd_ps(dy), sel));
        _mm256_storeu_ps(reinterpret_cast<float *>(bd2 + m), _mm256_permutevar8x32_ps(_mm256_castpd_ps(d2), sel));
        m += static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned>(mask)));
    }
    for (; k < count; ++k) {
        const std::size_t i = static_cast<std::uint32_t>(pairs[k]), j = pairs[k] >> 32;
        const double dx = xy[2 * j] - xy[2 * i], dy = xy[2 * j + 1] - xy[2 * i + 1];
        const double d2 = Fused ? std::fma(dy, dy, dx * dx) : dx * dx + dy * dy;
        bp[m] = pairs[k];
        bdx[m] = dx;
        bdy[m] = dy;
        bd2[m] = d2;
        m += !(d2 >= far2) ? 1 : 0;
    }
    return m;
}

// Distances and forces of the batch's m pairs, four at a time:
// L = sqrt(d2), (fx, fy) = (min_nb - L) * (dx, dy) / L * k_rep, stored as
// interleaved (fx, fy).
__attribute__((target("avx2,fma"))) void repel_wide(std::size_t m, const double *dx, const double *dy,
                                                   const double *d2, double min_nb, double k_rep, double *len,
                                                   double *fxy) {
    const __m256d nb = _mm256_set1_pd(min_nb), kr = _mm256_set1_pd(k_rep);
    std::size_t k = 0;
    for (; k + 4 <= m; k += 4) {
        const __m256d L = _mm256_sqrt_pd(_mm256_loadu_pd(d2 + k));
        const __m256d s = _mm256_sub_pd(nb, L);
        const __m256d fx = _mm256_mul_pd(_mm256_div_pd(_mm256_mul_pd(s, _mm256_loadu_pd(dx + k)), L), kr);
        const __m256d fy = _mm256_mul_pd(_mm256_div_pd(_mm256_mul_pd(s, _mm256_loadu_pd(dy + k)), L), kr);
        _mm256_storeu_pd(len + k, L);
        const __m256d lo = _mm256_unpacklo_pd(fx, fy), hi = _mm256_unpackhi_pd(fx, fy);
        _mm256_storeu_pd(fxy + 2 * k, _mm256_permute2f128_pd(lo, hi, 0x20));
        _mm256_storeu_pd(fxy + 2 * k + 4, _mm256_permute2f128_pd(lo, hi, 0x31));
    }
    for (; k < m; ++k) {
        const double L = std::sqrt(d2[k]);
        const double s = min_nb - L;
        len[k] = L;
        fxy[2 * k] = s * dx[k] / L * k_rep;
        fxy[2 * k + 1] = s * dy[k] / L * k_rep;
    }
}

// The candidates cand[0, m) of atom (xi, yi) whose squared distance (as
// squared() forms it) is below list2, four at a time, packed to the front of
// `kept` in their order; returns their number.  Coordinates finite.
template <bool Fused>
__attribute__((target("avx2,fma"))) std::size_t within_wide(const std::size_t *cand, std::size_t m,
                                                           const double *xy, double xi, double yi, double list2,
                                                           std::size_t *kept) {
    const __m128d at = _mm_set_pd(yi, xi);
    const __m256d r2 = _mm256_set1_pd(list2);
    auto offset = [xy, at](std::size_t j) { return _mm_sub_pd(_mm_loadu_pd(xy + 2 * j), at); };
    std::size_t k = 0, out = 0;
    for (; k + 4 <= m; k += 4) {
        // As in offer_wide: lanes in the order (0, 2, 1, 3).
        const __m256d t0 = _mm256_insertf128_pd(_mm256_castpd128_pd256(offset(cand[k])), offset(cand[k + 1]), 1);
        const __m256d t1 = _mm256_insertf128_pd(_mm256_castpd128_pd256(offset(cand[k + 2])), offset(cand[k + 3]), 1);
        const __m256d dx = _mm256_unpacklo_pd(t0, t1), dy = _mm256_unpackhi_pd(t0, t1);
        const __m256d xx = _mm256_mul_pd(dx, dx);
        const __m256d d2 = Fused ? _mm256_fmadd_pd(dy, dy, xx) : _mm256_add_pd(xx, _mm256_mul_pd(dy, dy));
        const int mask = _mm256_movemask_pd(_mm256_cmp_pd(d2, r2, _CMP_LT_OQ));
        const __m256i sel = _mm256_load_si256(reinterpret_cast<const __m256i *>(kCompress0213.lanes[mask]));
        const __m256i j = _mm256_permute4x64_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(cand + k)),
                                                   _MM_SHUFFLE(3, 1, 2, 0));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(kept + out), _mm256_permutevar8x32_epi32(j, sel));
        out += static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned>(mask)));
    }
    for (; k < m; ++k) {
        const std::size_t j = cand[k];
        const double dx = xy[2 * j] - xi, dy = xy[2 * j + 1] - yi;
        kept[out] = j;
        out += static_cast<std::size_t>((Fused ? std::fma(dy, dy, dx * dx) : dx * dx + dy * dy) < list2);
    }
    return out;
}
#else
bool wide_ok() { return false; }
#endif

// The batch: a pair is written to the next free place whether it is kept
// or not, and the count moves on only for a kept one (no branch to
// mispredict on the distance test).
class RepelBatch {
public:
    RepelBatch(StepScratch &s, const ForceParams &p, double *f, NormKind nk, bool wide)
        : p_(p), f_(f), fused_(nk == NormKind::fused), wide_(wide) {
        s.pair.resize(kBatch + kSlack);
        for (auto *v : {&s.dx, &s.dy, &s.d2, &s.len}) v->resize(kBatch + kSlack);
        s.fxy.resize(2 * (kBatch + kSlack));
        pair_ = s.pair.data();
        dx_ = s.dx.data();
        dy_ = s.dy.data();
        d2_ = s.d2.data();
        len_ = s.len.data();
        fxy_ = s.fxy.data();
    }

    bool wide() const { return wide_; }

    // Pair (i, j) at offset (dx, dy) and squared distance d2; kept when
    // `keep`.  (Indices of 32 bits: the caller checks that they fit.)
    void offer(std::size_t i, std::size_t j, double dx, double dy, double d2, bool keep) {
        const std::size_t m = m_;
        pair_[m] = pair_key(i, j);
        dx_[m] = dx;
        dy_[m] = dy;
        d2_[m] = d2;
        m_ = m + (keep ? 1 : 0);
        if (m_ == kBatch) flush();
    }

    // The listed pairs, in their order, with the 256-bit path (wide()
    // only): kept as offer() keeps them.
    void offer_listed(const std::uint64_t *pairs, std::size_t count, const double *xy, double far2) {
#if CORVANE_WIDE
        while (count > 0) {
            const std::size_t take = std::min(count, kBatch - m_);
            m_ = fused_ ? offer_wide<true>(pairs, take, xy, far2, pair_, dx_, dy_, d2_, m_)
                        : offer_wide<false>(pairs, take, xy, far2, pair_, dx_, dy_, d2_, m_);
            pairs += take;
            count -= take;
            if (kBatch - m_ < 64) flush();
        }
#else
        (void)pairs, (void)count, (void)xy, (void)far2;
#endif
    }

    // Repels the gathered pairs.
    void flush() {
        const std::size_t m = m_;
#if CORVANE_WIDE
        if (wide_) {
            repel_wide(m, dx_, dy_, d2_, p_.min_nb, p_.k_rep, len_, fxy_);
            add_forces(m, pair_, len_, fxy_, p_.min_nb, f_);
            m_ = 0;
            return;
        }
#endif
        std::size_t k = 0;
#if defined(__SSE2__)
        const __m128d min_nb = _mm_set1_pd(p_.min_nb), k_rep = _mm_set1_pd(p_.k_rep);
        for (; k + 2 <= m; k += 2) {
            const __m128d L = _mm_sqrt_pd(_mm_loadu_pd(d2_ + k));
            const __m128d s = _mm_sub_pd(min_nb, L);
            _mm_storeu_pd(len_ + k, L);
            const __m128d fx = _mm_mul_pd(_mm_div_pd(_mm_mul_pd(s, _mm_loadu_pd(dx_ + k)), L), k_rep);
            const __m128d fy = _mm_mul_pd(_mm_div_pd(_mm_mul_pd(s, _mm_loadu_pd(dy_ + k)), L), k_rep);
            _mm_storeu_pd(fxy_ + 2 * k, _mm_unpacklo_pd(fx, fy));
            _mm_storeu_pd(fxy_ + 2 * k + 2, _mm_unpackhi_pd(fx, fy));
        }
#endif
        for (; k < m; ++k) {
            const double L = std::sqrt(d2_[k]);
            const double s = p_.min_nb - L;
            len_[k] = L;
            fxy_[2 * k] = s * dx_[k] / L * p_.k_rep;
            fxy_[2 * k + 1] = s * dy_[k] / L * p_.k_rep;
        }
        add_forces(m, pair_, len_, fxy_, p_.min_nb, f_);
        m_ = 0;
    }

private:
    const ForceParams &p_;
    double *f_;
    bool fused_, wide_;
    std::uint64_t *pair_;
    double *dx_, *dy_, *d2_, *len_, *fxy_;
    std::size_t m_ = 0;
};

// The pair list from the grid's cells (built over xy): for each atom i, its
// non-bonded partners j > i within the list's reach (squared distance below
// list2), ascending.  Each cell's atoms are passed by a cursor as i grows;
// the partners found in the nine cells are put in order by a bit per atom
// (or sorted, when their indices spread too wide for the bits to pay).
[[gnu::always_inline]] inline void list_from_cells(const double *xy, std::size_t n, const BondTable &bt,
                                                    double list2, NormKind nk, bool wide, StepScratch &s) {
    const std::size_t nx = s.cells_x, ny = s.cells_y;
    const std::size_t *start = s.cell_start.data(), *atoms = s.cell_atoms.data();
    s.cell_next.assign(s.cell_start.begin(), s.cell_start.end() - 1);
    s.marks.assign((n + 63) / 64, 0);
    // Room for whole-vector stores past the last candidate.
    s.kept.resize(2 * n + 2 * kSlack);
    std::size_t *next = s.cell_next.data(), *kept = s.kept.data(), *cand = kept + n + kSlack;
    std::uint64_t *marks = s.marks.data();
    for (std::size_t i = 0; i + 1 < n; ++i) {
        const double xi = xy[2 * i], yi = xy[2 * i + 1];
        const std::size_t ci = s.cell_of[i], cx = ci % nx, cy = ci / nx;
        std::size_t m = 0, lo = SIZE_MAX, hi = 0;
        for (std::size_t y = cy > 0 ? cy - 1 : 0; y <= cy + 1 && y < ny; ++y)
            for (std::size_t x = cx > 0 ? cx - 1 : 0; x <= cx + 1 && x < nx; ++x) {
                const std::size_t c = y * nx + x, e = start[c + 1];
                std::size_t a = next[c];
                while (a != e && atoms[a] <= i) ++a;
                next[c] = a;
                if (wide) {
                    // Four at a time (cand and atoms have room past their ends).
                    for (std::size_t t = a; t < e; t += 4)
                        std::memcpy(cand + m + (t - a), atoms + t, 4 * sizeof(std::size_t));
                    m += e - a;
                } else {
                    for (; a != e; ++a) {
                        const std::size_t j = atoms[a];
                        kept[m] = j;
                        m += static_cast<std::size_t>(squared(xy[2 * j] - xi, xy[2 * j + 1] - yi, nk) < list2);
                    }
                }
            }
#if CORVANE_WIDE
        if (wide)
            m = nk == NormKind::fused ? within_wide<true>(cand, m, xy, xi, yi, list2, kept)
                                      : within_wide<false>(cand, m, xy, xi, yi, list2, kept);
#endif
        if (m == 0) continue;
        for (std::size_t c = 0; c < m; ++c) {
            lo = std::min(lo, kept[c] >> 6);
            hi = std::max(hi, kept[c] >> 6);
        }
        const std::vector<long> &bonded = bt.higher(i);
        if (hi - lo <= 2 * m + 8) {
            for (std::size_t c = 0; c < m; ++c) marks[kept[c] >> 6] |= std::uint64_t{1} << (kept[c] & 63);
            for (long b : bonded) marks[static_cast<std::size_t>(b) >> 6] &= ~(std::uint64_t{1} << (b & 63));
            for (std::size_t w = lo; w <= hi; ++w) {
                std::uint64_t bits = marks[w];
                marks[w] = 0;
                for (; bits != 0; bits &= bits - 1)
                    s.near.push_back(pair_key(i, 64 * w + static_cast<std::size_t>(std::countr_zero(bits))));
            }
        } else {
            std::sort(kept, kept + m);
            auto next_bonded = bonded.begin();
            for (std::size_t c = 0; c < m; ++c) {
                const std::size_t j = kept[c];
                while (next_bonded != bonded.end() && static_cast<std::size_t>(*next_bonded) < j) ++next_bonded;
                if (next_bonded != bonded.end() && static_cast<std::size_t>(*next_bonded) == j) continue;
                s.near.push_back(pair_key(i, j));
            }
        }
    }
}

}  // namespace

// Where the processor has fused multiply-add, the step is also compiled
// for it and chosen when the module loads: the fused norms then take one
// instruction instead of a call into libm (fma is exactly rounded either
// way, and no other expression is contracted, so the bits are the same).
#if defined(__x86_64__) && defined(__linux__) && defined(__GNUC__) && defined(__has_attribute)
#if __has_attribute(target_clones)
#define CORVANE_FMA_CLONES __attribute__((target_clones("fma", "default")))
#endif
#endif
#ifndef CORVANE_FMA_CLONES
#define CORVANE_FMA_CLONES
#endif

CORVANE_FMA_CLONES
void force_step(double *xy, std::size_t n, const BondTable &bt, const ForceParams &p, NormKind nk,
                StepScratch &scratch) {
    if (n > UINT32_MAX) throw std::length_error("too many atoms for the force step");
    scratch.forces.assign(2 * n, 0.0);
    scratch.dist2.resize(n);
    double *f = scratch.forces.data();
    for (auto [u, v] : bt.bonds()) {
        double dx = xy[2 * v] - xy[2 * u];
        double dy = xy[2 * v + 1] - xy[2 * u + 1];
        double L = norm2(dx, dy, nk);
        if (L < 1e-9) continue;
        double s = L - p.target_bond_len;
        double fx = s * dx / L * p.k_attr;
        double fy = s * dy / L * p.k_attr;
        f[2 * u] += fx;
        f[2 * u + 1] += fy;
        f[2 * v] -= fx;
        f[2 * v + 1] -= fy;
    }
    // Repulsion of the non-bonded pairs i < j, visited in (i, j) order; a
    // pair whose squared distance is at or above `far2` (certainly not below
    // min_nb after the square root) adds nothing.  NaN goes on, as it must.
    RepelBatch batch(scratch, p, f, nk, scratch.wide && wide_ok());
    const double far2 = p.min_nb * p.min_nb * (1.0 + 1e-10);
    const double skin = kSkin * p.min_nb;
    const bool use_list = n <= UINT32_MAX && std::isfinite(far2) && p.min_nb > 0.0;
    bool visit_list = use_list && list_holds(xy, n, skin, scratch);
    if (!visit_list) {
        // A rescan; it rebuilds the list when the coordinates allow one.
        const double reach = p.min_nb + skin;
        const double list2 = reach * reach * (1.0 + 1e-9);
        bool finite = use_list;
        for (std::size_t k = 0; finite && k < 2 * n; ++k) finite = std::isfinite(xy[k]);
        scratch.near.clear();
        scratch.listed = false;
        // Cells a little wider than the list's reach: every pair within
        // reach lies in the same or neighbouring cells.  (A few hundred
        // atoms fit in a handful of cells: a plain scan is quicker there.)
        if (finite && n >= kGridAtoms && build_cells(xy, n, reach * 1.01, scratch)) {
            list_from_cells(xy, n, bt, list2, nk, batch.wide(), scratch);
            visit_list = true;
        } else {
            scratch.kept.resize(n);
            std::size_t *kept = scratch.kept.data();
            double *d2 = scratch.dist2.data();
            for (std::size_t i = 0; i + 1 < n; ++i) {
                const double xi = xy[2 * i], yi = xy[2 * i + 1];
                for (std::size_t j = i + 1; j < n; ++j) d2[j] = squared(xy[2 * j] - xi, xy[2 * j + 1] - yi, nk);
                // The partners within the list's reach or in range (NaN
                // too), gathered without a branch per pair.
                std::size_t m = 0;
                for (std::size_t j = i + 1; j < n; ++j) {
                    kept[m] = j;
                    m += static_cast<std::size_t>((d2[j] < list2) | !(d2[j] >= far2));
                }
                const std::vector<long> &bonded = bt.higher(i);
                auto next_bonded = bonded.begin();
                for (std::size_t c = 0; c < m; ++c) {
                    const std::size_t j = kept[c];
                    while (next_bonded != bonded.end() && static_cast<std::size_t>(*next_bonded) < j) ++next_bonded;
                    if (next_bonded != bonded.end() && static_cast<std::size_t>(*next_bonded) == j) continue;
                    if (finite) scratch.near.push_back(pair_key(i, j));
                    batch.offer(i, j, xy[2 * j] - xi, xy[2 * j + 1] - yi, d2[j], !(d2[j] >= far2));
                }
            }
        }
        if (finite) {
            scratch.ref.assign(xy, xy + 2 * n);
            scratch.listed = true;
        }
    }
    if (visit_list) {
        if (batch.wide()) {
            batch.offer_listed(scratch.near.data(), scratch.near.size(), xy, far2);
        } else {
            for (const std::uint64_t pr : scratch.near) {
                const std::size_t i = static_cast<std::uint32_t>(pr), j = pr >> 32;
                const double dx = xy[2 * j] - xy[2 * i], dy = xy[2 * j + 1] - xy[2 * i + 1];
                const double d2 = squared(dx, dy, nk);
                batch.offer(i, j, dx, dy, d2, !(d2 >= far2));
            }
        }
    }
    batch.flush();
    for (std::size_t k = 0; k < 2 * n; ++k) xy[k] += f[k];
}

void force_loop(double *xy, std::size_t n, const BondTable &bt, const ForceParams &p, const Groups &groups,
                long it0, long it1, NormKind nk, const Stop &stop) {
    StepScratch scratch;
    for (long it = it0; it < it1; ++it) {
        if (stop && stop()) throw Interrupted();
        force_step(xy, n, bt, p, nk, scratch);
        if (equalize_after(it)) radial_equalize(xy, groups, nk);
    }
}

}  // namespace corvane::layout
