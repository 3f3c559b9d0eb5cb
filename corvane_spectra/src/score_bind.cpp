// Bindings of scoring and library search.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <vector>
#include <string>

#include "../../corvane/module/gil.hpp"
#include "score_core.hpp"

namespace py = pybind11;

namespace corvane::spectra {

namespace {

using MzArray = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using IntArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

PeakView view(const MzArray &mz, const IntArray &inten) {
    if (mz.ndim() != 1 || inten.ndim() != 1) throw py::value_error("peak arrays must be one-dimensional");
    if (mz.shape(0) != inten.shape(0))
        throw py::value_error(std::to_string(mz.shape(0)) + " m/z values but " + std::to_string(inten.shape(0)) +
                              " intensities");
    return PeakView{mz.data(), inten.data(), static_cast<std::size_t>(mz.shape(0))};
}

Method method_of(const std::string &name) {
    if (name == "cosine") return Method::Cosine;
    if (name == "composite") return Method::Composite;
    throw py::value_error("method must be 'cosine' or 'composite', not '" + name + "'");
}

void check_sorted(PeakView s, const char *what) {
    for (std::size_t i = 1; i < s.n; ++i)
        if (s.mz[i] <= s.mz[i - 1])
            throw py::value_error(std::string(what) + ": peaks must be at ascending, unique m/z");
}

// A copy of a spectrum's peaks owned by the call: the caller's arrays may be
// written by another thread while the interpreter lock is given up.
struct OwnedPeaks {
    std::vector<std::int64_t> mz;
    std::vector<double> intensity;
    explicit OwnedPeaks(PeakView s) : mz(s.mz, s.mz + s.n), intensity(s.intensity, s.intensity + s.n) {}
    PeakView view() const { return PeakView{mz.data(), intensity.data(), mz.size()}; }
};

}  // namespace

void bind_score(py::module_ &m) {
    m.def(
        "similarity",
        [](const MzArray &qm, const IntArray &qi, const MzArray &rm, const IntArray &ri, double qa, double qb,
           double ra, double rb, const std::string &method, std::int64_t min_mz) {
            PeakView q = view(qm, qi), r = view(rm, ri);
            check_sorted(q, "query");
            check_sorted(r, "reference");
            Similarity s = similarity(q, r, Weighting{qa, qb}, Weighting{ra, rb}, method_of(method), min_mz);
            return py::make_tuple(s.score, s.cosine, s.matches);
        },
        py::arg("query_mz"), py::arg("query_intensity"), py::arg("ref_mz"), py::arg("ref_intensity"),
        py::arg("query_intensity_power"), py::arg("query_mz_power"), py::arg("ref_intensity_power"),
        py::arg("ref_mz_power"), py::arg("method"), py::arg("min_mz"),
        "(score, weighted cosine, matched peaks) of two spectra over m/z >= min_mz.");

    m.def(
        "matched_peaks",
        [](const MzArray &am, const IntArray &ai, const MzArray &bm, const IntArray &bi, std::int64_t tolerance,
           std::int64_t min_mz) {
            if (tolerance < 0) throw py::value_error("tolerance must not be negative");
            PeakView a = view(am, ai), b = view(bm, bi);
            check_sorted(a, "first spectrum");
            check_sorted(b, "second spectrum");
            return matched_peaks(a, b, tolerance, min_mz);
        },
        py::arg("a_mz"), py::arg("a_intensity"), py::arg("b_mz"), py::arg("b_intensity"), py::arg("tolerance"),
        py::arg("min_mz"));

    m.def(
        "figures",
        [](const MzArray &mm, const IntArray &mi, const MzArray &pm, const IntArray &pi, double strong,
           std::size_t top) {
            PeakView meas = view(mm, mi), pred = view(pm, pi);
            check_sorted(meas, "measured");
            check_sorted(pred, "predicted");
            if (top == 0) throw py::value_error("top must be positive");
            Figures f = figures(meas, pred, strong, top);
            py::dict d;
            d["precision"] = f.precision;
            d["recall10"] = f.recall10;
            d["recall10_pm1"] = f.recall10_pm1;
            d["cosine"] = f.cosine;
            d["n_predicted"] = f.n_predicted;
            d["n_top"] = f.n_top;
            return d;
        },
        py::arg("measured_mz"), py::arg("measured_intensity"), py::arg("predicted_mz"),
        py::arg("predicted_intensity"), py::arg("strong_fraction"), py::arg("top"));

    m.def(
        "lowest_mz", [](const MzArray &mz, const IntArray &inten) { return lowest_mz(view(mz, inten)); },
        py::arg("mz"), py::arg("intensity"));

    // The core library locks itself (queries shared, adds exclusive); the
    // binding copies its inputs and gives up the interpreter lock around
    // every call that may wait for that lock or run long, and never waits
    // for the interpreter lock while holding the library's.
    py::class_<Library>(m, "LibraryCore", "Flat peak arrays of many spectra with an inverted index on m/z.")
        .def(py::init([](double a, double b) { return new Library(Weighting{a, b}); }),
             py::arg("intensity_power"), py::arg("mz_power"))
        .def(
            "add",
            [](Library &self, const MzArray &mz, const IntArray &inten) {
                OwnedPeaks s(view(mz, inten));
                std::size_t i;
                try {
                    gil::Release nogil;
                    i = self.add(s.view());
                } catch (const std::invalid_argument &e) {
                    throw py::value_error(e.what());
                }
                return i;
            },
            py::arg("mz"), py::arg("intensity"))
        .def("finalize",
             [](Library &self) {
                 gil::Release nogil;
                 self.finalize();
             })
        .def("__len__", [](Library &self) { return self.size(); })
        .def_property_readonly("peak_count", [](Library &self) { return self.peak_count(); })
        .def_property_readonly("memory_bytes", [](Library &self) {
            gil::Release nogil;
            return self.memory_bytes();
        })
        .def(
            "peaks",
            [](Library &self, std::size_t i) {
                std::vector<std::int64_t> mz;
                std::vector<double> w;
                try {
                    gil::Release nogil;
                    self.peaks(i, mz, w);
                } catch (const std::out_of_range &) {
                    throw py::index_error("library index out of range");
                }
                return py::make_tuple(py::array_t<std::int64_t>(mz.size(), mz.data()),
                                      py::array_t<double>(w.size(), w.data()));
            },
            py::arg("index"), "(m/z, weight) of one stored spectrum.")
        .def(
            "scores",
            [](Library &self, const MzArray &mz, const IntArray &inten, double a, double b, std::int64_t min_mz) {
                PeakView v = view(mz, inten);
                check_sorted(v, "query");
                OwnedPeaks q(v);
                std::vector<double> out;
                std::vector<std::uint32_t> matches;
                {
                    gil::Release nogil;
                    self.scores(q.view(), Weighting{a, b}, min_mz, out, &matches);
                }
                return py::make_tuple(py::array_t<double>(out.size(), out.data()),
                                      py::array_t<std::uint32_t>(matches.size(), matches.data()));
            },
            py::arg("mz"), py::arg("intensity"), py::arg("intensity_power"), py::arg("mz_power"),
            py::arg("min_mz"))
        .def(
            "search",
            [](Library &self, const MzArray &mz, const IntArray &inten, double a, double b, std::size_t top,
               std::int64_t min_mz, const std::string &method, std::size_t prefilter) {
                PeakView v = view(mz, inten);
                check_sorted(v, "query");
                OwnedPeaks q(v);
                Method meth = method_of(method);
                std::vector<Library::Hit> hits;
                {
                    gil::Release nogil;
                    hits = self.search(q.view(), Weighting{a, b}, top, min_mz, meth, prefilter);
                }
                py::list out;
                for (const auto &h : hits) out.append(py::make_tuple(h.index, h.score, h.cosine, h.matches));
                return out;
            },
            py::arg("mz"), py::arg("intensity"), py::arg("intensity_power"), py::arg("mz_power"), py::arg("top"),
            py::arg("min_mz"), py::arg("method"), py::arg("prefilter"));
}

}  // namespace corvane::spectra
