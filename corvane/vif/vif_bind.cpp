// Python-facing side of the VIF graph's spectral functions: networkx graphs
// in, LPI records and soft bonds out; and the bond-order map of a molecule.
#include <pybind11/numpy.h>

#include <cmath>
#include <optional>

#include "../adapters/graph_matrix.hpp"
#include "../adapters/mol_reader.hpp"
#include "../lpi/lpi_core.hpp"
#include "../module/blas.hpp"
#include "../module/registry.hpp"
#include "vif_build.hpp"
#include "vif_core.hpp"

namespace corvane::vif {

// ---------------------------------------------------------------------------
// LPI

py::object compute_lpi(const Args &a) {
    py::handle graph = a[0];
    double tol = py::cast<double>(a[1]);
    py::object np = lookup("np");
    py::dict rec;
    if (py::cast<py::ssize_t>(graph.attr("number_of_nodes")()) == 0) {
        rec["n+"] = 0;
        rec["n0"] = 0;
        rec["n-"] = 0;
        rec["eigenvalues"] = np.attr("array")(py::list());
        return rec;
    }
    // At its peak: the array and eigvalsh's copy of it.
    py::array_t<double> A = graph::adjacency(graph, a[2], graph::kEigvalshMatrices);
    py::array_t<double, py::array::c_style | py::array::forcecast> ev;
    {
        blas::OneThread one(static_cast<std::size_t>(A.shape(0)));
        ev = np.attr("linalg").attr("eigvalsh")(A);
    }
    lpi::SignCounts c = lpi::count_signs(ev.data(), static_cast<std::size_t>(ev.size()), tol);
    rec["n+"] = c.pos;
    rec["n0"] = c.zero;
    rec["n-"] = c.neg;
    rec["eigenvalues"] = ev;
    return rec;
}

// ---------------------------------------------------------------------------
// Soft bonds

namespace {

// The tolerance as the fast path counts against it: a finite float >= 0, or
// nullopt for the plain path.
std::optional<double> fast_tolerance(py::handle tol) {
    const double t = PyFloat_AsDouble(tol.ptr());
    if (t == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return std::nullopt;
    }
    if (!std::isfinite(t) || t < 0.0) return std::nullopt;
    return t;
}

// Whether an LPI record equals the baseline, count by count.
bool same_lpi(py::handle lpi, py::handle baseline) {
    const Names &N = names();
    return equal(item(lpi, N.n_plus), item(baseline, N.n_plus)) &&
           equal(item(lpi, N.n_zero), item(baseline, N.n_zero)) &&
           equal(item(lpi, N.n_minus), item(baseline, N.n_minus));
}

// Each record's edge cut in turn and the LPI recomputed by the module-level
// compute_lpi as it is bound now.
py::list soft_bonds_plain(py::handle graph, py::handle chem_bonds, py::handle baseline, py::handle tol) {
    const Names &N = names();
    py::list soft;
    graph::EdgeTrials trials(graph);
    py::object compute = lookup(F_compute_lpi);
    for (py::handle bond : chem_bonds) {
        py::object u = item(bond, N.u_node), v = item(bond, N.v_node);
        py::object lpi = trials.cut(u, v, [&] { return compute(graph, py::arg("tol") = tol); });
        if (lpi && same_lpi(lpi, baseline)) soft.append(bond);
    }
    return soft;
}

// On the adjacency dicts of a plain graph, has_edge, the weight read,
// remove_edge and add_edge done as the methods do them: the edge is
// re-inserted at the end of both neighbour dicts with a new data dict holding
// only "weight", and the graph's conversion cache is cleared.
class DirectEdges {
public:
    explicit DirectEdges(py::handle graph) : adj_(graph.attr("_adj")) {
        plain_adj_ = PyDict_CheckExact(adj_.ptr());
        py::object attrs = steal(PyObject_GetAttrString(graph.ptr(), "__dict__"));
        PyObject *cache = PyDict_Check(attrs.ptr()) ? PyDict_GetItemString(attrs.ptr(), "__networkx_cache__") : nullptr;
        if (cache) cache_ = borrow(cache);
    }

    // Whether the dicts could be read directly; if so, `has` and `w` are set.
    bool read(py::handle u, py::handle v, bool &has, py::object &w) const {
        const Names &N = names();
        if (!plain_adj_) return false;
        PyObject *nu = PyDict_GetItemWithError(adj_.ptr(), u.ptr());
        if (!nu) {
            if (PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_KeyError)) raise();
                PyErr_Clear();
            }
            has = false;
            return true;
        }
        if (!PyDict_CheckExact(nu)) return false;
        // Owned while looked into: a key's __eq__ may change the dicts.
        py::object row = borrow(nu);
        PyObject *found = PyDict_GetItemWithError(row.ptr(), v.ptr());
        if (!found) {
            if (PyErr_Occurred()) raise();
            has = false;
            return true;
        }
        if (!PyDict_CheckExact(found)) return false;
        py::object data = borrow(found);
        has = true;
        PyObject *x = PyDict_GetItemWithError(data.ptr(), N.weight);
        if (!x && PyErr_Occurred()) raise();
        w = borrow(x ? x : N.one);
        return true;
    }

    void cut_and_restore(py::handle u, py::handle v, py::handle w) {
        const Names &N = names();
        // Owned rows: a node's __hash__ or __eq__ may change the dicts.
        py::object nu = row_of(u);
        if (PyDict_DelItem(nu.ptr(), v.ptr()) < 0) raise();
        if (compare(u, v, Py_NE)) {
            py::object nv = row_of(v);
            if (PyObject_DelItem(nv.ptr(), u.ptr()) < 0) raise();
        }
        clear_cache();
        py::dict data;
        if (PyDict_SetItem(data.ptr(), N.weight, w.ptr()) < 0) raise();
        if (PyDict_SetItem(nu.ptr(), v.ptr(), data.ptr()) < 0) raise();
        py::object nv = steal(PyObject_GetItem(adj_.ptr(), v.ptr()));
        if (PyObject_SetItem(nv.ptr(), u.ptr(), data.ptr()) < 0) raise();
        clear_cache();
    }

private:
    // The neighbour dict of `node`, owned.
    py::object row_of(py::handle node) const {
        PyObject *row = PyDict_GetItemWithError(adj_.ptr(), node.ptr());
        if (!row) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, node.ptr());
            raise();
        }
        if (!PyDict_CheckExact(row)) raise(PyExc_RuntimeError, "the graph changed while its edges were tried");
        return borrow(row);
    }

    void clear_cache() {
        if (!cache_) return;
        if (PyDict_CheckExact(cache_.ptr())) {
            PyDict_Clear(cache_.ptr());
        } else if (truth(cache_)) {
            cache_.attr("clear")();
        }
    }

    py::object adj_;
    bool plain_adj_ = false;
    py::object cache_;
};

// The records of `chem_bonds` with their node pairs, read before anything
// else: a generator, or a record's __getitem__, runs Python code.
struct Record {
    py::object bond, u, v;
};
std::vector<Record> read_records(py::handle chem_bonds) {
    const Names &N = names();
    std::vector<Record> out;
    for (py::handle bond : chem_bonds) out.push_back({borrow(bond.ptr()), item(bond, N.u_node), item(bond, N.v_node)});
    return out;
}

py::list as_list(const std::vector<Record> &records) {
    py::list out;
    for (const Record &r : records) out.append(r.bond);
    return out;
}

// The trials of the fast path: each tested edge is taken out and put back as
// the plain path does it (the counts only read the matrix, so the graph ends
// in the same state); then the matrix is read and each cut's entries noted.
struct Trials {
    std::optional<graph::DenseGraph> dense;
    std::vector<py::object> tested;
    std::vector<std::pair<std::size_t, std::size_t>> cuts;
};

// nullopt when the graph's dicts turn out not to be plain dicts.
std::optional<Trials> collect_trials(py::handle graph, const std::vector<Record> &records) {
    const Names &N = names();
    Trials t;
    py::object has_edge = graph.attr("has_edge");
    py::object remove_edge = graph.attr("remove_edge");
    py::object add_edge = graph.attr("add_edge");
    DirectEdges direct(graph);
    std::vector<const Record *> tested;
    for (const Record &r : records) {
        bool has = false;
        py::object w;
        const bool fast_dicts = direct.read(r.u, r.v, has, w);
        if (!fast_dicts) {
            has = truth(has_edge(r.u, r.v));
            if (has) w = graph[r.u][r.v].attr("get")(py::handle(N.weight), py::handle(N.one));
        }
        if (!has) continue;
        tested.push_back(&r);
        if (fast_dicts) {
            direct.cut_and_restore(r.u, r.v, w);
        } else {
            remove_edge(r.u, r.v);
            add_edge(r.u, r.v, py::arg("weight") = w);
        }
    }
    if (tested.empty()) return t;
    // Every trial put its edge back with the same weight: the matrix read
    // now is the one each trial cut from.
    // At its peak: the matrix and numpy_eigh's (keep_unchanged holds fewer).
    t.dense = graph::read_dense(graph, N.weight, 1 + graph::kEighMatrices);
    if (!t.dense) return std::nullopt;
    for (const Record *r : tested) {
        t.cuts.push_back({t.dense->row(r->u), t.dense->row(r->v)});
        t.tested.push_back(r->bond);
    }
    graph::check_unchanged(graph, t.dense->stamp, "its soft bonds were tried");
    return t;
}

// The records whose trial counts equal the baseline's, count by count; a
// trial the rank-two counts leave uncertain is counted from numpy's
// eigenvalues, as compute_lpi would count it.
py::list keep_unchanged(const Trials &t, const std::vector<lpi::CheckedCounts> &counts, py::handle baseline,
                        double tol) {
    const Names &N = names();
    py::list soft;
    py::object bp = item(baseline, N.n_plus), bz, bn;
    for (std::size_t k = 0; k < t.cuts.size(); ++k) {
        lpi::SignCounts c = counts[k].counts;
        if (!counts[k].certain) {
            std::vector<double> cut = t.dense->a;
            const auto [i, j] = t.cuts[k];
            cut[i * t.dense->n + j] = 0.0;
            cut[j * t.dense->n + i] = 0.0;
            c = graph::eigvalsh_counts(cut.data(), t.dense->n, tol);
        }
        if (!equal(int_(c.pos), bp)) continue;
        if (!bz) bz = item(baseline, N.n_zero);
        if (!equal(int_(c.zero), bz)) continue;
        if (!bn) bn = item(baseline, N.n_minus);
        if (!equal(int_(c.neg), bn)) continue;
        soft.append(t.tested[k]);
    }
    return soft;
}

// The module's own compute_lpi on a plain graph: the trial counts come from
// one dense matrix, all of them from one decomposition.  nullopt when
// compute_lpi is no longer the module's own once the records were read, or
// the graph's dicts are not plain: the plain path then takes the records.
std::optional<py::list> soft_bonds_fast(py::handle graph, const std::vector<Record> &records, py::handle baseline,
                                        double tol) {
    if (!is_own(F_compute_lpi) || !graph::graph_stamp(graph)) return std::nullopt;
    std::optional<Trials> trials = collect_trials(graph, records);
    if (!trials) return std::nullopt;
    Trials &t = *trials;
    if (t.cuts.empty()) return py::list();
    std::vector<lpi::CheckedCounts> counts;
    {
        // Below the size where numpy's BLAS keeps the caller's threads, numpy's
        // eigh is LAPACK's dsyevd on one thread: called directly it gives the
        // same bits without the interpreter's round trip and copies.
        const bool direct = t.dense->n < blas::kThreadedFrom && blas::dsyevd();
        lpi::Decompose eig = direct ? graph::lapack_eigh() : graph::numpy_eigh();
        try {
            gil::Release nogil;
            lpi::CountOptions opt;
            opt.threads = graph::usable_cores();
            opt.stop = [&nogil] { return nogil.interrupted(); };
            counts = lpi::trial_cut_counts(t.dense->a, t.dense->n, t.cuts, tol, eig, nullptr, opt);
        } catch (const lpi::Interrupted &) {
            throw py::error_already_set();  // the signal handler's exception, set again with the lock
        }
    }
    py::list soft = keep_unchanged(t, counts, baseline, tol);
    graph::check_unchanged(graph, t.dense->stamp, "its soft bonds were counted");
    return soft;
}

}  // namespace

py::object detect_soft_bonds(const Args &a) {
    py::handle graph = a[0], chem_bonds = a[1], baseline = a[2], tol = a[3];
    std::optional<double> fast_tol;
    if (graph::is_plain_graph(graph) && is_own(F_compute_lpi)) fast_tol = fast_tolerance(tol);
    if (!fast_tol) return soft_bonds_plain(graph, chem_bonds, baseline, tol);
    const std::vector<Record> records = read_records(chem_bonds);
    if (std::optional<py::list> soft = soft_bonds_fast(graph, records, baseline, *fast_tol)) return *soft;
    return soft_bonds_plain(graph, as_list(records), baseline, tol);
}

// ---------------------------------------------------------------------------
// Bond orders

py::object build_bond_orders(const Args &a) {
    py::dict out;
    py::object rnd, one = int_(1);
    for (py::handle bond : mol::mol_items(a[0], true)) {
        py::object i = bond.attr("GetBeginAtomIdx")();
        py::object j = bond.attr("GetEndAtomIdx")();
        py::object d = bond.attr("GetBondTypeAsDouble")();
        py::object o = one;
        if (truth(d)) {
            if (PyFloat_CheckExact(d.ptr())) {
                o = steal(PyLong_FromDouble(std::nearbyint(PyFloat_AS_DOUBLE(d.ptr()))));
            } else {
                if (!rnd) rnd = builtin("round");
                o = steal(PyNumber_Long(rnd(d).ptr()));
            }
            if (!less(one, o)) o = one;
        }
        out[py::make_tuple(i, j)] = o;
        out[py::make_tuple(j, i)] = o;
    }
    return out;
}

}  // namespace corvane::vif
