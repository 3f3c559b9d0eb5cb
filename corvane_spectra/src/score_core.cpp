#include "score_core.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>

namespace corvane::spectra {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

double pow_or_one(double x, double p) {
    if (p == 0.0) return 1.0;
    if (p == 1.0) return x;
    if (p == 0.5) return std::sqrt(x);
    return std::pow(x, p);
}

// First peak index with m/z >= min_mz.
std::size_t first_at(PeakView s, std::int64_t min_mz) {
    return static_cast<std::size_t>(std::lower_bound(s.mz, s.mz + s.n, min_mz) - s.mz);
}

}  // namespace

double Weighting::weight(std::int64_t mz, double intensity) const {
    if (!(intensity > 0.0)) return 0.0;
    // A power of a non-positive m/z has no meaning: such a peak weighs nothing.
    if (mz_power != 0.0 && mz <= 0) return 0.0;
    return pow_or_one(intensity, intensity_power) * pow_or_one(static_cast<double>(mz), mz_power);
}

double scaled_weights(PeakView s, const Weighting &w, std::vector<double> &out) {
    // Plain weights up to 1e60 (and a largest one of at least 1e-60) keep
    // sums of squares of a million peaks, and products of two such sums, in
    // range; anything else is computed in logarithms and divided by the
    // largest weight.
    constexpr double kHi = 1e60, kLo = 1e-60;
    out.assign(s.n, 0.0);
    double hi = 0.0;
    bool plain = true, any = false;
    for (std::size_t i = 0; i < s.n; ++i) {
        any = any || (s.intensity[i] > 0.0 && !(w.mz_power != 0.0 && s.mz[i] <= 0));
        double x = w.weight(s.mz[i], s.intensity[i]);
        if (!std::isfinite(x)) {
            plain = false;
            continue;
        }
        out[i] = x;
        hi = std::max(hi, x);
    }
    if (!any || (plain && hi <= kHi && hi >= kLo)) return 1.0;
    double top = -std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < s.n; ++i) {
        if (!(s.intensity[i] > 0.0) || !std::isfinite(s.intensity[i]) || (w.mz_power != 0.0 && s.mz[i] <= 0)) {
            out[i] = kNaN;  // marks "no weight" for the second pass
            continue;
        }
        double lw = 0.0;
        if (w.intensity_power != 0.0) lw += w.intensity_power * std::log(s.intensity[i]);
        if (w.mz_power != 0.0) lw += w.mz_power * std::log(static_cast<double>(s.mz[i]));
        out[i] = lw;
        top = std::max(top, lw);
    }
    for (double &x : out) x = std::isnan(x) ? 0.0 : std::exp(x - top);
    return std::isfinite(top) ? std::exp(top) : 1.0;
}

Similarity similarity(PeakView q, PeakView r, const Weighting &wq, const Weighting &wr, Method method,
                      std::int64_t min_mz) {
    Similarity out;
    std::vector<double> qw, rw;
    scaled_weights(q, wq, qw);
    scaled_weights(r, wr, rw);
    double dot = 0.0, nq = 0.0, nr = 0.0;
    std::size_t nq_peaks = 0;
    // Ratio term: consecutive matched peaks.
    double ratio_sum = 0.0;
    double prev_q = 0.0, prev_r = 0.0;
    bool have_prev = false;
    std::size_t i = first_at(q, min_mz), j = first_at(r, min_mz);
    while (i < q.n || j < r.n) {
        if (j >= r.n || (i < q.n && q.mz[i] < r.mz[j])) {
            double a = qw[i];
            nq += a * a;
            if (a > 0.0) ++nq_peaks;
            ++i;
        } else if (i >= q.n || r.mz[j] < q.mz[i]) {
            double b = rw[j];
            nr += b * b;
            ++j;
        } else {
            double a = qw[i];
            double b = rw[j];
            nq += a * a;
            nr += b * b;
            dot += a * b;
            if (a > 0.0) ++nq_peaks;
            if (a > 0.0 && b > 0.0) {
                ++out.matches;
                if (have_prev) {
                    double ratio = (a / prev_q) * (prev_r / b);
                    ratio_sum += ratio <= 1.0 ? ratio : 1.0 / ratio;
                }
                prev_q = a;
                prev_r = b;
                have_prev = true;
            }
            ++i;
            ++j;
        }
    }
    out.cosine = (nq > 0.0 && nr > 0.0) ? dot / std::sqrt(nq * nr) : 0.0;
    if (method == Method::Cosine) {
        out.score = out.cosine;
    } else {
        double fd = out.cosine * out.cosine;
        double nm = static_cast<double>(out.matches);
        double fr = out.matches >= 2 ? ratio_sum / (nm - 1.0) : 0.0;
        double nu = static_cast<double>(nq_peaks);
        out.score = (nu + nm) > 0.0 ? (nu * fd + nm * fr) / (nu + nm) : 0.0;
    }
    return out;
}

namespace {

// x - t and x + t for t >= 0, held at the ends of the int64 range.
std::int64_t sat_sub(std::int64_t x, std::int64_t t) {
    std::int64_t r;
    return __builtin_sub_overflow(x, t, &r) ? std::numeric_limits<std::int64_t>::min() : r;
}
std::int64_t sat_add(std::int64_t x, std::int64_t t) {
    std::int64_t r;
    return __builtin_add_overflow(x, t, &r) ? std::numeric_limits<std::int64_t>::max() : r;
}

}  // namespace

std::size_t matched_peaks(PeakView a, PeakView b, std::int64_t tolerance, std::int64_t min_mz) {
    std::size_t count = 0;
    std::size_t j = 0;
    for (std::size_t i = first_at(a, min_mz); i < a.n; ++i) {
        if (!(a.intensity[i] > 0.0)) continue;
        const std::int64_t lo = sat_sub(a.mz[i], tolerance), hi = sat_add(a.mz[i], tolerance);
        while (j < b.n && b.mz[j] < lo) ++j;
        for (std::size_t k = j; k < b.n && b.mz[k] <= hi; ++k) {
            if (b.intensity[k] > 0.0) {
                ++count;
                break;
            }
        }
    }
    return count;
}

std::int64_t lowest_mz(PeakView s) {
    for (std::size_t i = 0; i < s.n; ++i)
        if (s.intensity[i] > 0.0) return s.mz[i];
    return 0;
}

namespace {

// Whether some peak of `s` with positive intensity lies within [lo, hi].
bool has_peak_in(PeakView s, std::int64_t lo, std::int64_t hi) {
    for (std::size_t k = first_at(s, lo); k < s.n && s.mz[k] <= hi; ++k)
        if (s.intensity[k] > 0.0) return true;
    return false;
}

}  // namespace

Figures figures(PeakView measured, PeakView predicted, double strong_fraction, std::size_t top) {
    Figures f;
    double base = 0.0;
    for (std::size_t i = 0; i < measured.n; ++i) base = std::max(base, measured.intensity[i]);
    if (!(base > 0.0)) {
        f.precision = f.recall10 = f.recall10_pm1 = f.cosine = kNaN;
        for (std::size_t i = 0; i < predicted.n; ++i) f.n_predicted += predicted.intensity[i] > 0.0;
        return f;
    }
    const double strong = strong_fraction * base;
    const std::int64_t lo = lowest_mz(measured);

    // Precision: predicted peaks at m/z >= lo found among the strong measured peaks.
    std::size_t hits = 0;
    for (std::size_t i = first_at(predicted, lo); i < predicted.n; ++i) {
        if (!(predicted.intensity[i] > 0.0)) continue;
        ++f.n_predicted;
        std::size_t k = first_at(measured, predicted.mz[i]);
        if (k < measured.n && measured.mz[k] == predicted.mz[i] && measured.intensity[k] >= strong) ++hits;
    }
    f.precision = f.n_predicted ? static_cast<double>(hits) / static_cast<double>(f.n_predicted) : kNaN;

    // Recall@top: the `top` most intense strong measured peaks; equal
    // intensities are taken in ascending m/z order.
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < measured.n; ++i)
        if (measured.intensity[i] >= strong) order.push_back(i);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return measured.intensity[a] > measured.intensity[b];
    });
    if (order.size() > top) order.resize(top);
    f.n_top = order.size();
    std::size_t exact = 0, near = 0;
    for (std::size_t i : order) {
        std::int64_t m = measured.mz[i];
        exact += has_peak_in(predicted, m, m);
        near += has_peak_in(predicted, sat_sub(m, 1), sat_add(m, 1));
    }
    f.recall10 = static_cast<double>(exact) / static_cast<double>(f.n_top);
    f.recall10_pm1 = static_cast<double>(near) / static_cast<double>(f.n_top);

    // Cosine: predicted heights against sqrt(measured) at m/z >= lo.
    f.cosine = similarity(predicted, measured, Weighting{1.0, 0.0}, Weighting{0.5, 0.0}, Method::Cosine, lo).cosine;
    return f;
}

// ---------------------------------------------------------------- Library

Library::Library(Weighting w) : w_(w) {}

std::size_t Library::add(PeakView s) {
    for (std::size_t i = 0; i < s.n; ++i) {
        if (i && s.mz[i] <= s.mz[i - 1]) throw std::invalid_argument("peaks must be at ascending, unique m/z");
        if (!std::isfinite(s.intensity[i]) || s.intensity[i] < 0.0)
            throw std::invalid_argument("intensities must be finite and not negative");
    }
    std::vector<double> w;
    const double scale = scaled_weights(s, w_, w);
    std::unique_lock<std::shared_mutex> g(lock_);
    if (offsets_.size() - 1 >= std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("library full: at most 2^32 - 1 spectra");
    for (std::size_t i = 0; i < s.n; ++i) {
        if (!(w[i] > 0.0)) continue;
        mz_.push_back(s.mz[i]);
        weight_.push_back(w[i]);
    }
    // Suffix sums of the squared weights: the squared norm above any m/z is one lookup.
    suffix2_.resize(mz_.size());
    double nn = 0.0;
    for (std::uint64_t k = mz_.size(); k > offsets_.back(); --k) {
        nn += weight_[k - 1] * weight_[k - 1];
        suffix2_[k - 1] = nn;
    }
    offsets_.push_back(mz_.size());
    scale_.push_back(scale);
    indexed_ = false;
    return offsets_.size() - 2;
}

std::size_t Library::size() const {
    std::shared_lock<std::shared_mutex> g(lock_);
    return offsets_.size() - 1;
}

std::size_t Library::peak_count() const {
    std::shared_lock<std::shared_mutex> g(lock_);
    return mz_.size();
}

void Library::finalize() {
    std::unique_lock<std::shared_mutex> g(lock_);
    finalize_locked();
}

std::shared_lock<std::shared_mutex> Library::read_indexed() const {
    for (;;) {
        {
            std::shared_lock<std::shared_mutex> r(lock_);
            if (indexed_) return r;
        }
        std::unique_lock<std::shared_mutex> g(lock_);
        const_cast<Library *>(this)->finalize_locked();
    }
}

void Library::finalize_locked() {
    if (indexed_) return;
    // The peak arrays stop growing here for most libraries: give back their slack.
    offsets_.shrink_to_fit();
    mz_.shrink_to_fit();
    weight_.shrink_to_fit();
    scale_.shrink_to_fit();
    suffix2_.shrink_to_fit();
    // Distinct m/z values with their posting counts, then a filling pass.
    // Where the m/z span is within a few times the number of peaks (every
    // real library), a table over the span finds a peak's list in one step;
    // otherwise the distinct values are sorted and searched.  Either way
    // what stays is one list per distinct m/z, and the table is temporary
    // and no larger than a few words per peak.
    keys_.clear();
    post_off_.assign(1, 0);
    const std::size_t n = offsets_.size() - 1;
    post_id_.resize(mz_.size());
    post_w_.resize(mz_.size());
    if (mz_.empty()) {
        keys_.shrink_to_fit();
        indexed_ = true;
        return;
    }
    auto [lo_it, hi_it] = std::minmax_element(mz_.begin(), mz_.end());
    const std::int64_t lo = *lo_it;
    const std::uint64_t span = static_cast<std::uint64_t>(*hi_it) - static_cast<std::uint64_t>(lo);
    std::vector<std::uint64_t> fill;
    if (span < 4 * static_cast<std::uint64_t>(mz_.size()) + 65536) {
        std::vector<std::uint64_t> count(static_cast<std::size_t>(span) + 1, 0);
        for (std::int64_t m : mz_) ++count[static_cast<std::size_t>(static_cast<std::uint64_t>(m) - static_cast<std::uint64_t>(lo))];
        std::uint64_t at = 0;
        for (std::size_t v = 0; v <= span; ++v) {
            if (!count[v]) continue;
            keys_.push_back(static_cast<std::int64_t>(static_cast<std::uint64_t>(lo) + v));
            const std::uint64_t c = count[v];
            count[v] = at;  // now: the next free posting of this m/z
            at += c;
            post_off_.push_back(at);
        }
        for (std::size_t i = 0; i < n; ++i) {
            for (std::uint64_t k = offsets_[i]; k < offsets_[i + 1]; ++k) {
                std::uint64_t p = count[static_cast<std::size_t>(static_cast<std::uint64_t>(mz_[k]) - static_cast<std::uint64_t>(lo))]++;
                post_id_[p] = static_cast<std::uint32_t>(i);
                post_w_[p] = weight_[k];
            }
        }
    } else {
        keys_ = mz_;
        std::sort(keys_.begin(), keys_.end());
        keys_.erase(std::unique(keys_.begin(), keys_.end()), keys_.end());
        auto key = [&](std::int64_t m) {
            return static_cast<std::size_t>(std::lower_bound(keys_.begin(), keys_.end(), m) - keys_.begin());
        };
        post_off_.assign(keys_.size() + 1, 0);
        for (std::int64_t m : mz_) ++post_off_[key(m) + 1];
        for (std::size_t v = 0; v < keys_.size(); ++v) post_off_[v + 1] += post_off_[v];
        fill.assign(post_off_.begin(), post_off_.end() - 1);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::uint64_t k = offsets_[i]; k < offsets_[i + 1]; ++k) {
                std::uint64_t p = fill[key(mz_[k])]++;
                post_id_[p] = static_cast<std::uint32_t>(i);
                post_w_[p] = weight_[k];
            }
        }
    }
    keys_.shrink_to_fit();
    post_off_.shrink_to_fit();
    indexed_ = true;
}

std::size_t Library::memory_bytes() const {
    std::shared_lock<std::shared_mutex> g(lock_);
    return offsets_.capacity() * sizeof(std::uint64_t) + mz_.capacity() * sizeof(std::int64_t) +
           weight_.capacity() * sizeof(double) + scale_.capacity() * sizeof(double) +
           suffix2_.capacity() * sizeof(double) + keys_.capacity() * sizeof(std::int64_t) +
           post_off_.capacity() * sizeof(std::uint64_t) + post_id_.capacity() * sizeof(std::uint32_t) +
           post_w_.capacity() * sizeof(double);
}

void Library::peaks(std::size_t i, std::vector<std::int64_t> &mz, std::vector<double> &weight) const {
    std::shared_lock<std::shared_mutex> g(lock_);
    peaks_locked(i, mz, weight);
}

void Library::peaks_locked(std::size_t i, std::vector<std::int64_t> &mz, std::vector<double> &weight) const {
    if (i >= offsets_.size() - 1) throw std::out_of_range("library index out of range");
    mz.clear();
    weight.clear();
    for (std::uint64_t k = offsets_[i]; k < offsets_[i + 1]; ++k) {
        mz.push_back(mz_[k]);
        weight.push_back(weight_[k] * scale_[i]);
    }
}

double Library::norm2_from(std::size_t i, std::int64_t min_mz) const {
    const std::int64_t *b = mz_.data() + offsets_[i], *e = mz_.data() + offsets_[i + 1];
    if (b == e) return 0.0;
    if (*b >= min_mz) return suffix2_[offsets_[i]];
    const std::int64_t *at = std::lower_bound(b, e, min_mz);
    return at == e ? 0.0 : suffix2_[static_cast<std::size_t>(at - mz_.data())];
}

template <class Visit>
void Library::sweep(PeakView query, const Weighting &wq, std::int64_t min_mz, bool count, Visit &&visit) const {
    const std::size_t n = offsets_.size() - 1;
    // The query's weighted peaks that the index holds, with a cursor into each posting list.
    struct Cursor {
        double a;
        std::uint64_t at, end;
    };
    std::vector<double> qw;
    scaled_weights(query, wq, qw);
    std::vector<Cursor> cur;
    double qn = 0.0;
    auto key = keys_.begin();
    for (std::size_t i = first_at(query, min_mz); i < query.n; ++i) {
        double a = qw[i];
        if (!(a > 0.0)) continue;
        qn += a * a;
        key = std::lower_bound(key, keys_.end(), query.mz[i]);
        if (key == keys_.end()) continue;
        if (*key != query.mz[i]) continue;
        const std::size_t v = static_cast<std::size_t>(key - keys_.begin());
        cur.push_back({a, post_off_[v], post_off_[v + 1]});
    }
    if (cur.empty() || !(qn > 0.0)) return;
    const std::uint32_t *pid = post_id_.data();
    const double *pw = post_w_.data();
    // Spectra in blocks whose accumulators (this query's own) stay in cache;
    // posting lists are in spectrum order, so each list is consumed block by
    // block.  Every spectrum still adds the query's peaks in m/z order.
    constexpr std::size_t kBlock = 8192;
    std::vector<double> acc(std::min(n, kBlock), 0.0);
    std::vector<std::uint32_t> cnt(count ? acc.size() : 0, 0u);
    for (std::size_t lo = 0; lo < n; lo += kBlock) {
        const std::uint32_t hi = static_cast<std::uint32_t>(std::min(n, lo + kBlock));
        for (Cursor &c : cur) {
            std::uint64_t k = c.at;
            const double a = c.a;
            if (count) {
                for (; k < c.end && pid[k] < hi; ++k) {
                    acc[pid[k] - lo] += a * pw[k];
                    ++cnt[pid[k] - lo];
                }
            } else {
                for (; k < c.end && pid[k] < hi; ++k) acc[pid[k] - lo] += a * pw[k];
            }
            c.at = k;
        }
        for (std::size_t id = lo; id < hi; ++id) {
            const std::size_t s = id - lo;
            if (acc[s] != 0.0 || (count && cnt[s] != 0)) {
                double rn = norm2_from(id, min_mz);
                double c = rn > 0.0 ? acc[s] / std::sqrt(qn * rn) : 0.0;
                visit(id, c, count ? cnt[s] : 0u);
                acc[s] = 0.0;
                if (count) cnt[s] = 0;
            }
        }
    }
}

void Library::scores(PeakView query, const Weighting &wq, std::int64_t min_mz, std::vector<double> &out,
                     std::vector<std::uint32_t> *matches) const {
    auto g = read_indexed();
    const std::size_t n = offsets_.size() - 1;
    out.assign(n, 0.0);
    if (matches) matches->assign(n, 0u);
    sweep(query, wq, min_mz, matches != nullptr, [&](std::size_t id, double c, std::uint32_t m) {
        out[id] = c;
        if (matches) (*matches)[id] = m;
    });
}

std::size_t Library::count_matches(PeakView query, std::size_t i, std::int64_t min_mz) const {
    std::size_t count = 0, q = first_at(query, min_mz);
    for (std::uint64_t k = offsets_[i]; k < offsets_[i + 1] && q < query.n; ++k) {
        if (mz_[k] < min_mz) continue;
        while (q < query.n && query.mz[q] < mz_[k]) ++q;
        if (q < query.n && query.mz[q] == mz_[k] && query.intensity[q] > 0.0) ++count;
    }
    return count;
}

std::vector<Library::Hit> Library::search(PeakView query, const Weighting &wq, std::size_t top,
                                          std::int64_t min_mz, Method method, std::size_t prefilter) const {
    auto g = read_indexed();
    std::vector<std::pair<double, std::uint32_t>> cand;
    sweep(query, wq, min_mz, false, [&](std::size_t id, double c, std::uint32_t) {
        if (c > 0.0) cand.emplace_back(c, static_cast<std::uint32_t>(id));
    });
    auto better = [](const std::pair<double, std::uint32_t> &a, const std::pair<double, std::uint32_t> &b) {
        return a.first > b.first || (a.first == b.first && a.second < b.second);
    };
    std::vector<Hit> hits;
    std::size_t k = std::min(method == Method::Cosine ? top : std::max(prefilter, top), cand.size());
    std::partial_sort(cand.begin(), cand.begin() + static_cast<std::ptrdiff_t>(k), cand.end(), better);
    if (method == Method::Cosine) {
        for (std::size_t r = 0; r < k; ++r)
            hits.push_back({cand[r].second, cand[r].first, cand[r].first, count_matches(query, cand[r].second, min_mz)});
        return hits;
    }
    for (std::size_t r = 0; r < k; ++r) {
        const std::size_t i = cand[r].second;
        // Stored values are already weighted (and scaled, which no score
        // depends on): compare them unweighted.
        PeakView ref{mz_.data() + offsets_[i], weight_.data() + offsets_[i],
                     static_cast<std::size_t>(offsets_[i + 1] - offsets_[i])};
        Similarity s = similarity(query, ref, wq, Weighting{1.0, 0.0}, Method::Composite, min_mz);
        hits.push_back({i, s.score, s.cosine, s.matches});
    }
    std::stable_sort(hits.begin(), hits.end(), [](const Hit &a, const Hit &b) {
        return a.score > b.score || (a.score == b.score && a.index < b.index);
    });
    if (hits.size() > top) hits.resize(top);
    return hits;
}

}  // namespace corvane::spectra
