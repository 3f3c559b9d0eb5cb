// Bindings of scoring and library search.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <mutex>
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

// A library with a lock: queries share scratch buffers.
struct PyLibrary {
    Library lib;
    std::mutex lock;
    explicit PyLibrary(Weighting w) : lib(w) {}
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

    py::class_<PyLibrary>(m, "LibraryCore", "Flat peak arrays of many spectra with an inverted index on m/z.")
        .def(py::init([](double a, double b) { return new PyLibrary(Weighting{a, b}); }),
             py::arg("intensity_power"), py::arg("mz_power"))
        .def(
            "add",
            [](PyLibrary &self, const MzArray &mz, const IntArray &inten) {
                PeakView s = view(mz, inten);
                std::lock_guard<std::mutex> g(self.lock);
                try {
                    return self.lib.add(s);
                } catch (const std::invalid_argument &e) {
                    throw py::value_error(e.what());
                }
            },
            py::arg("mz"), py::arg("intensity"))
        .def("finalize",
             [](PyLibrary &self) {
                 gil::Release nogil;
                 std::lock_guard<std::mutex> g(self.lock);
                 self.lib.finalize();
             })
        .def("__len__", [](PyLibrary &self) { return self.lib.size(); })
        .def_property_readonly("peak_count", [](PyLibrary &self) { return self.lib.peak_count(); })
        .def_property_readonly("memory_bytes", [](PyLibrary &self) { return self.lib.memory_bytes(); })
        .def(
            "peaks",
            [](PyLibrary &self, std::size_t i) {
                std::vector<std::int64_t> mz;
                std::vector<double> w;
                {
                    std::lock_guard<std::mutex> g(self.lock);
                    if (i >= self.lib.size()) throw py::index_error("library index out of range");
                    self.lib.peaks(i, mz, w);
                }
                return py::make_tuple(py::array_t<std::int64_t>(mz.size(), mz.data()),
                                      py::array_t<double>(w.size(), w.data()));
            },
            py::arg("index"), "(m/z, weight) of one stored spectrum.")
        .def(
            "scores",
            [](PyLibrary &self, const MzArray &mz, const IntArray &inten, double a, double b, std::int64_t min_mz) {
                PeakView q = view(mz, inten);
                check_sorted(q, "query");
                std::size_t n;
                {
                    std::lock_guard<std::mutex> g(self.lock);
                    n = self.lib.size();
                }
                py::array_t<double> out(n);
                py::array_t<std::uint32_t> matches(n);
                double *po = out.mutable_data();
                std::uint32_t *pm = matches.mutable_data();
                {
                    gil::Release nogil;
                    std::lock_guard<std::mutex> g(self.lock);
                    self.lib.scores(q, Weighting{a, b}, min_mz, po, pm);
                }
                return py::make_tuple(out, matches);
            },
            py::arg("mz"), py::arg("intensity"), py::arg("intensity_power"), py::arg("mz_power"),
            py::arg("min_mz"))
        .def(
            "search",
            [](PyLibrary &self, const MzArray &mz, const IntArray &inten, double a, double b, std::size_t top,
               std::int64_t min_mz, const std::string &method, std::size_t prefilter) {
                PeakView q = view(mz, inten);
                check_sorted(q, "query");
                Method meth = method_of(method);
                std::vector<Library::Hit> hits;
                {
                    gil::Release nogil;
                    std::lock_guard<std::mutex> g(self.lock);
                    hits = self.lib.search(q, Weighting{a, b}, top, min_mz, meth, prefilter);
                }
                py::list out;
                for (const auto &h : hits) out.append(py::make_tuple(h.index, h.score, h.cosine, h.matches));
                return out;
            },
            py::arg("mz"), py::arg("intensity"), py::arg("intensity_power"), py::arg("mz_power"), py::arg("top"),
            py::arg("min_mz"), py::arg("method"), py::arg("prefilter"));
}

}  // namespace corvane::spectra
