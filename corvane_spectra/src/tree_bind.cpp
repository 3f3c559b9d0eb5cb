// Bindings of the regression-tree ensembles of the scored spectrum model.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "tree_core.hpp"

namespace py = pybind11;

namespace corvane::spectra {

namespace {

using I32 = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>;
using I64 = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using F64 = py::array_t<double, py::array::c_style | py::array::forcecast>;

// The arrays, checked and packed once: evaluation never reads past them and
// every path ends at a leaf.
class Forest {
  public:
    Forest(const I32 &feature, const F64 &threshold, const I32 &left, const I32 &right, const F64 &value,
           const I32 &roots, std::size_t n_columns)
        : n_columns_(n_columns) {
        const py::ssize_t n = feature.size();
        for (const py::ssize_t k : {threshold.size(), left.size(), right.size(), value.size()})
            if (k != n) throw py::value_error("the node arrays must all have one entry per node");
        if (feature.ndim() != 1 || roots.ndim() != 1) throw py::value_error("the node arrays must be one-dimensional");
        // The arrays are read only here, with the lock held; the packed copy is what sums read.
        const ForestView view{feature.data(), threshold.data(), left.data(), right.data(), value.data(),
                              static_cast<std::size_t>(n), roots.data(), static_cast<std::size_t>(roots.size())};
        const std::string bad = check_forest(view, n_columns_);
        if (!bad.empty()) throw py::value_error("malformed trees: " + bad);
        packed_ = pack_forest(view);
    }

    py::array_t<double> sum(const F64 &Z, py::ssize_t n_trees) const {
        if (Z.ndim() != 2 || static_cast<std::size_t>(Z.shape(1)) != n_columns_)
            throw py::value_error("tree inputs need " + std::to_string(n_columns_) + " columns");
        const std::size_t rows = static_cast<std::size_t>(Z.shape(0));
        const std::size_t nt = n_trees < 0 ? packed_.trees.size() : static_cast<std::size_t>(n_trees);
        py::array_t<double> out(static_cast<py::ssize_t>(rows));
        // The lock stays held: Z may be the caller's own array, which another
        // thread could write while it is read (a molecule's few hundred rows
        // take microseconds).
        forest_sum(packed_, nt, Z.data(), rows, n_columns_, out.mutable_data());
        return out;
    }

    // The same sums for rows given in parts (see RowParts): every index is
    // checked here, so the walk never reads outside the arrays.
    py::array_t<double> sum_parts(const F64 &shared, const I64 &row_of, const F64 &own, const I32 &source,
                                  py::ssize_t n_trees) const {
        if (shared.ndim() != 2 || own.ndim() != 2 || row_of.ndim() != 1 || source.ndim() != 1)
            throw py::value_error("shared and own must be two-dimensional, row_of and source one-dimensional");
        const std::size_t rows = static_cast<std::size_t>(own.shape(0));
        const std::size_t n_shared = static_cast<std::size_t>(shared.shape(1));
        const std::size_t n_own = static_cast<std::size_t>(own.shape(1));
        const auto shared_rows = static_cast<std::int64_t>(shared.shape(0));
        if (static_cast<std::size_t>(row_of.size()) != rows)
            throw py::value_error("row_of needs one entry per row of own");
        if (static_cast<std::size_t>(source.size()) != n_columns_)
            throw py::value_error("source needs one entry per tree input (" + std::to_string(n_columns_) + ")");
        const std::int32_t *src = source.data();
        for (std::size_t j = 0; j < n_columns_; ++j)
            if (src[j] >= 0 ? static_cast<std::size_t>(src[j]) >= n_own
                            : static_cast<std::size_t>(-1 - static_cast<std::int64_t>(src[j])) >= n_shared)
                throw py::value_error("source[" + std::to_string(j) + "] names no column");
        const std::int64_t *ro = row_of.data();
        for (std::size_t r = 0; r < rows; ++r)
            if (ro[r] < 0 || ro[r] >= shared_rows)
                throw py::value_error("row_of[" + std::to_string(r) + "] is not a row of shared");
        const std::size_t nt = n_trees < 0 ? packed_.trees.size() : static_cast<std::size_t>(n_trees);
        py::array_t<double> out(static_cast<py::ssize_t>(rows));
        const RowParts z{shared.data(), n_shared, ro, own.data(), n_own, src, rows};
        forest_sum_parts(packed_, nt, z, out.mutable_data());
        return out;
    }

  private:
    std::size_t n_columns_;
    PackedForest packed_;
};

}  // namespace

void bind_trees(py::module_ &m) {
    py::class_<Forest>(m, "Forest", "Regression trees as flat, checked arrays (see corvane_spectra._scored_trees).")
        .def(py::init<const I32 &, const F64 &, const I32 &, const I32 &, const F64 &, const I32 &, std::size_t>(),
             py::arg("feature"), py::arg("threshold"), py::arg("left"), py::arg("right"), py::arg("value"),
             py::arg("roots"), py::arg("n_columns"))
        .def("sum", &Forest::sum, py::arg("Z"), py::arg("n_trees") = -1,
             "Sum over the first n_trees trees (all when negative) of the leaf value each row of Z reaches.")
        .def("sum_parts", &Forest::sum_parts, py::arg("shared"), py::arg("row_of"), py::arg("own"), py::arg("source"),
             py::arg("n_trees") = -1,
             "As sum, for rows given in parts: input j of row r is own[r, source[j]] where source[j] >= 0, "
             "else shared[row_of[r], -1 - source[j]].");
}

}  // namespace corvane::spectra
