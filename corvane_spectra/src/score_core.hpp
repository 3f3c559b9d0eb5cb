// Similarity of spectra at nominal m/z, the per-spectrum figures of a
// prediction against a measurement, and a library searchable through an
// inverted index on m/z.  Plain C++: no Python headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

namespace corvane::spectra {

// A view of one spectrum: peaks at ascending, unique nominal m/z.
struct PeakView {
    const std::int64_t *mz = nullptr;
    const double *intensity = nullptr;
    std::size_t n = 0;
};

// Peak weighting intensity^a * mz^b (a = 0.5, b = 0 by default).
struct Weighting {
    double intensity_power = 0.5;
    double mz_power = 0.0;
    double weight(std::int64_t mz, double intensity) const;
};

enum class Method { Cosine, Composite };

struct Similarity {
    double score = 0.0;       // cosine, or the composite score
    double cosine = 0.0;      // the weighted cosine alone
    std::size_t matches = 0;  // peaks present (intensity > 0) in both at one m/z
};

// Weighted similarity of two spectra over the peaks at m/z >= min_mz.
// Cosine: sum(wq*wr) / sqrt(sum(wq^2) * sum(wr^2)), 0 when either side is empty.
// Composite (the weighted-dot-product-plus-ratio score of EI library search):
//   (n_q * cos^2 + n_m * ratio) / (n_q + n_m), n_q the query's peaks,
//   n_m the matched peaks, ratio the mean over consecutive matched peaks of
//   min(r, 1/r), r = (wq_i / wq_{i-1}) * (wr_{i-1} / wr_i) (so a spectrum
//   scores 1 against itself); ratio = 0 unless at least two peaks match.
Similarity similarity(PeakView query, PeakView ref, const Weighting &wq, const Weighting &wr,
                      Method method, std::int64_t min_mz);

// Number of peaks of `a` (intensity > 0, m/z >= min_mz) with a peak of `b`
// (intensity > 0) within `tolerance` mass units.
std::size_t matched_peaks(PeakView a, PeakView b, std::int64_t tolerance, std::int64_t min_mz);

// The per-spectrum figures of a predicted spectrum against a measured one.
struct Figures {
    double precision = 0.0;     // NaN when no predicted peak lies at m/z >= the lowest measured m/z
    double recall10 = 0.0;      // NaN when the measured spectrum has no peak
    double recall10_pm1 = 0.0;
    double cosine = 0.0;        // NaN when the measured spectrum has no peak
    std::size_t n_predicted = 0;  // predicted peaks at m/z >= the lowest measured m/z
    std::size_t n_top = 0;        // measured peaks that recall@10 looks at
};

// Strong measured peaks are those at >= strong_fraction of the base peak.
Figures figures(PeakView measured, PeakView predicted, double strong_fraction = 0.05,
                std::size_t top = 10);

// The lowest m/z of a spectrum with a positive intensity (0 when none).
std::int64_t lowest_mz(PeakView s);

// A library of spectra held as flat arrays with an inverted index on m/z.
//
// Safe to share between threads: adding and indexing take the library's
// lock exclusively, queries take it shared (each query has scratch of its
// own), so any number of queries run at once and an add waits for them.
// The index keeps one posting list per distinct m/z present, so its memory
// grows with the number of peaks whatever their m/z.
class Library {
public:
    explicit Library(Weighting w = {});
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;

    // Adds a spectrum; returns its index.  Zero intensities are dropped.
    // Throws std::invalid_argument for m/z not ascending and unique or
    // intensities that are not finite and non-negative.
    std::size_t add(PeakView s);
    // Builds the inverted index; queries call it when spectra were added since.
    void finalize();

    std::size_t size() const;
    std::size_t peak_count() const;
    std::size_t memory_bytes() const;
    const Weighting &weighting() const { return w_; }
    // Peaks of spectrum i (m/z, stored weight).
    void peaks(std::size_t i, std::vector<std::int64_t> &mz, std::vector<double> &weight) const;

    // Weighted cosine of the query (weighted by wq) with every library
    // spectrum restricted to m/z >= min_mz (the query too).  Resizes `out`
    // (and `matches` when not null) to the library's size at the moment of
    // the query and fills them.
    void scores(PeakView query, const Weighting &wq, std::int64_t min_mz, std::vector<double> &out,
                std::vector<std::uint32_t> *matches = nullptr) const;

    struct Hit {
        std::size_t index;
        double score;
        double cosine;
        std::size_t matches;
    };
    // The `top` best library spectra by score (descending; ties by index).
    // Composite scores are computed on the `prefilter` best by cosine.
    std::vector<Hit> search(PeakView query, const Weighting &wq, std::size_t top, std::int64_t min_mz,
                            Method method = Method::Cosine, std::size_t prefilter = 200) const;

private:
    Weighting w_;
    mutable std::shared_mutex lock_;
    std::vector<std::uint64_t> offsets_{0};  // spectrum i: peaks [offsets_[i], offsets_[i+1])
    std::vector<std::int64_t> mz_;
    // Weights scaled per spectrum (see scaled_weights): the true weight is
    // weight_[k] * scale_[i].  Cosines and ratios do not depend on the scale.
    std::vector<double> weight_;
    std::vector<double> scale_;
    std::vector<double> suffix2_;  // per peak: sum of squared weights from it to the spectrum's end
    // Inverted index: the distinct m/z values keys_[j] (ascending), with
    // postings [post_off_[j], post_off_[j+1]) in post_id_ / post_w_.
    bool indexed_ = false;
    std::vector<std::int64_t> keys_;
    std::vector<std::uint64_t> post_off_;
    std::vector<std::uint32_t> post_id_;
    std::vector<double> post_w_;
    void finalize_locked();
    std::shared_lock<std::shared_mutex> read_indexed() const;
    double norm2_from(std::size_t i, std::int64_t min_mz) const;
    void peaks_locked(std::size_t i, std::vector<std::int64_t> &mz, std::vector<double> &weight) const;
    // Calls visit(index, cosine, matched peaks) for every spectrum that
    // shares a peak with the query (matched peaks counted when `count`).
    template <class Visit>
    void sweep(PeakView query, const Weighting &wq, std::int64_t min_mz, bool count, Visit &&visit) const;
    std::size_t count_matches(PeakView query, std::size_t i, std::int64_t min_mz) const;
};

// The weights of a spectrum's peaks with a positive intensity, divided by a
// common factor so that their squares, sums and products stay far from
// overflow and underflow whatever the intensities and powers: returns the
// factor (weight = out[k] * factor; 1 whenever the plain weights are already
// in a safe range, so ordinary spectra keep their exact weights).  Peaks with
// a zero weight get 0.
double scaled_weights(PeakView s, const Weighting &w, std::vector<double> &out);

}  // namespace corvane::spectra
