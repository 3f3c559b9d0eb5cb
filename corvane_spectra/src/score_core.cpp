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
    return pow_or_one(intensity, intensity_power) * pow_or_one(static_cast<double>(mz), mz_power);
}

Similarity similarity(PeakView q, PeakView r, const Weighting &wq, const Weighting &wr, Method method,
                      std::int64_t min_mz) {
    Similarity out;
    double dot = 0.0, nq = 0.0, nr = 0.0;
    std::size_t nq_peaks = 0;
    // Ratio term: consecutive matched peaks.
    double ratio_sum = 0.0;
    double prev_q = 0.0, prev_r = 0.0;
    bool have_prev = false;
    std::size_t i = first_at(q, min_mz), j = first_at(r, min_mz);
    while (i < q.n || j < r.n) {
        if (j >= r.n || (i < q.n && q.mz[i] < r.mz[j])) {
            double a = wq.weight(q.mz[i], q.intensity[i]);
            nq += a * a;
            if (a > 0.0) ++nq_peaks;
            ++i;
        } else if (i >= q.n || r.mz[j] < q.mz[i]) {
            double b = wr.weight(r.mz[j], r.intensity[j]);
            nr += b * b;
            ++j;
        } else {
            double a = wq.weight(q.mz[i], q.intensity[i]);
            double b = wr.weight(r.mz[j], r.intensity[j]);
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

std::size_t matched_peaks(PeakView a, PeakView b, std::int64_t tolerance, std::int64_t min_mz) {
    std::size_t count = 0;
    std::size_t j = 0;
    for (std::size_t i = first_at(a, min_mz); i < a.n; ++i) {
        if (!(a.intensity[i] > 0.0)) continue;
        while (j < b.n && b.mz[j] < a.mz[i] - tolerance) ++j;
        for (std::size_t k = j; k < b.n && b.mz[k] <= a.mz[i] + tolerance; ++k) {
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
        near += has_peak_in(predicted, m - 1, m + 1);
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
    if (offsets_.size() - 1 >= std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("library full: at most 2^32 - 1 spectra");
    for (std::size_t i = 0; i < s.n; ++i) {
        if (i && s.mz[i] <= s.mz[i - 1]) throw std::invalid_argument("peaks must be at ascending, unique m/z");
        if (s.mz[i] < 0 || s.mz[i] > std::numeric_limits<std::int32_t>::max())
            throw std::invalid_argument("m/z out of range: " + std::to_string(s.mz[i]));
        if (!std::isfinite(s.intensity[i]) || s.intensity[i] < 0.0)
            throw std::invalid_argument("intensities must be finite and not negative");
    }
    for (std::size_t i = 0; i < s.n; ++i) {
        double w = w_.weight(s.mz[i], s.intensity[i]);
        if (!(w > 0.0)) continue;
        mz_.push_back(static_cast<std::int32_t>(s.mz[i]));
        weight_.push_back(static_cast<float>(w));
    }
    // Suffix sums of the squared weights: the squared norm above any m/z is one lookup.
    suffix2_.resize(mz_.size());
    double nn = 0.0;
    for (std::uint64_t k = mz_.size(); k > offsets_.back(); --k) {
        nn += static_cast<double>(weight_[k - 1]) * weight_[k - 1];
        suffix2_[k - 1] = nn;
    }
    offsets_.push_back(mz_.size());
    indexed_ = false;
    return offsets_.size() - 2;
}

void Library::finalize() {
    if (indexed_) return;
    post_off_.clear();
    post_.clear();
    if (mz_.empty()) {
        mz_lo_ = 0;
        post_off_.assign(1, 0);
        indexed_ = true;
        return;
    }
    auto [lo_it, hi_it] = std::minmax_element(mz_.begin(), mz_.end());
    mz_lo_ = *lo_it;
    const std::size_t span = static_cast<std::size_t>(*hi_it - *lo_it) + 1;
    post_off_.assign(span + 1, 0);
    for (std::int32_t m : mz_) ++post_off_[static_cast<std::size_t>(m - mz_lo_) + 1];
    for (std::size_t v = 0; v < span; ++v) post_off_[v + 1] += post_off_[v];
    post_.resize(mz_.size());
    std::vector<std::uint64_t> fill(post_off_.begin(), post_off_.end() - 1);
    const std::size_t n = size();
    for (std::size_t i = 0; i < n; ++i) {
        for (std::uint64_t k = offsets_[i]; k < offsets_[i + 1]; ++k) {
            std::uint64_t at = fill[static_cast<std::size_t>(mz_[k] - mz_lo_)]++;
            post_[at] = Posting{static_cast<std::uint32_t>(i), weight_[k]};
        }
    }
    acc_.assign(n, 0.0);
    cnt_.assign(n, 0);
    indexed_ = true;
}

std::size_t Library::memory_bytes() const {
    return offsets_.capacity() * sizeof(std::uint64_t) + mz_.capacity() * sizeof(std::int32_t) +
           weight_.capacity() * sizeof(float) + suffix2_.capacity() * sizeof(double) + post_off_.capacity() * sizeof(std::uint64_t) +
           post_.capacity() * sizeof(Posting) +
           acc_.capacity() * sizeof(double) + cnt_.capacity() * sizeof(std::uint32_t);
}

void Library::peaks(std::size_t i, std::vector<std::int64_t> &mz, std::vector<double> &weight) const {
    if (i >= size()) throw std::out_of_range("library index out of range");
    mz.clear();
    weight.clear();
    for (std::uint64_t k = offsets_[i]; k < offsets_[i + 1]; ++k) {
        mz.push_back(mz_[k]);
        weight.push_back(weight_[k]);
    }
}

double Library::norm2_from(std::size_t i, std::int64_t min_mz) const {
    const std::int32_t *b = mz_.data() + offsets_[i], *e = mz_.data() + offsets_[i + 1];
    if (b == e) return 0.0;
    if (*b >= min_mz) return suffix2_[offsets_[i]];
    if (min_mz > std::numeric_limits<std::int32_t>::max()) return 0.0;
    const std::int32_t *at = std::lower_bound(b, e, static_cast<std::int32_t>(min_mz));
    return at == e ? 0.0 : suffix2_[static_cast<std::size_t>(at - mz_.data())];
}

template <class Visit>
void Library::sweep(PeakView query, const Weighting &wq, std::int64_t min_mz, bool count, Visit &&visit) {
    finalize();
    const std::size_t n = size();
    // The query's weighted peaks that the index holds, with a cursor into each posting list.
    struct Cursor {
        double a;
        std::uint64_t at, end;
    };
    std::vector<Cursor> cur;
    double qn = 0.0;
    const std::int64_t span = static_cast<std::int64_t>(post_off_.size()) - 1;
    for (std::size_t i = first_at(query, min_mz); i < query.n; ++i) {
        double a = wq.weight(query.mz[i], query.intensity[i]);
        if (!(a > 0.0)) continue;
        qn += a * a;
        std::int64_t v = query.mz[i] - mz_lo_;
        if (mz_.empty() || v < 0 || v >= span) continue;
        if (post_off_[v] < post_off_[v + 1]) cur.push_back({a, post_off_[v], post_off_[v + 1]});
    }
    if (cur.empty() || !(qn > 0.0)) return;
    const Posting *post = post_.data();
    double *acc = acc_.data();
    std::uint32_t *cnt = cnt_.data();
    // Spectra in blocks whose accumulators stay in cache; posting lists are
    // in spectrum order, so each list is consumed block by block.  Every
    // spectrum still adds the query's peaks in m/z order.
    constexpr std::size_t kBlock = 8192;
    for (std::size_t lo = 0; lo < n; lo += kBlock) {
        const std::uint32_t hi = static_cast<std::uint32_t>(std::min(n, lo + kBlock));
        for (Cursor &c : cur) {
            std::uint64_t k = c.at;
            const double a = c.a;
            if (count) {
                for (; k < c.end && post[k].id < hi; ++k) {
                    acc[post[k].id] += a * static_cast<double>(post[k].weight);
                    ++cnt[post[k].id];
                }
            } else {
                for (; k < c.end && post[k].id < hi; ++k) acc[post[k].id] += a * static_cast<double>(post[k].weight);
            }
            c.at = k;
        }
        for (std::size_t id = lo; id < hi; ++id) {
            if (acc[id] != 0.0 || (count && cnt[id] != 0)) {
                double rn = norm2_from(id, min_mz);
                double c = rn > 0.0 ? acc[id] / std::sqrt(qn * rn) : 0.0;
                visit(id, c, count ? cnt[id] : 0u);
                acc[id] = 0.0;
                if (count) cnt[id] = 0;
            }
        }
    }
}

void Library::scores(PeakView query, const Weighting &wq, std::int64_t min_mz, double *out,
                     std::uint32_t *matches) {
    const std::size_t n = size();
    std::fill(out, out + n, 0.0);
    if (matches) std::fill(matches, matches + n, 0u);
    sweep(query, wq, min_mz, matches != nullptr, [&](std::size_t id, double c, std::uint32_t m) {
        out[id] = c;
        if (matches) matches[id] = m;
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
                                          std::int64_t min_mz, Method method, std::size_t prefilter) {
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
    std::vector<std::int64_t> rmz;
    std::vector<double> rw;
    for (std::size_t r = 0; r < k; ++r) {
        peaks(cand[r].second, rmz, rw);
        // Stored values are already weighted: compare them unweighted.
        PeakView ref{rmz.data(), rw.data(), rmz.size()};
        Similarity s = similarity(query, ref, wq, Weighting{1.0, 0.0}, Method::Composite, min_mz);
        hits.push_back({cand[r].second, s.score, s.cosine, s.matches});
    }
    std::stable_sort(hits.begin(), hits.end(), [](const Hit &a, const Hit &b) {
        return a.score > b.score || (a.score == b.score && a.index < b.index);
    });
    if (hits.size() > top) hits.resize(top);
    return hits;
}

}  // namespace corvane::spectra
