// Python-facing side of the VIF graph: RDKit molecules and networkx graphs in,
// LPI records, soft bonds, the VIF result record, report and figure out.
#include <pybind11/numpy.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <unordered_map>

#include "../layout/layout_core.hpp"
#include "../module/registry.hpp"
#include "vif_bind.hpp"
#include "vif_core.hpp"

namespace corvane::vif {

namespace {

// Interned strings used as dict keys and attribute values, created once and
// kept for the life of the process.
PyObject *intern(const char *s) {
    PyObject *o = PyUnicode_InternFromString(s);
    if (!o) throw py::error_already_set();
    return o;
}

struct Names {
    PyObject *u_node = intern("u_node"), *v_node = intern("v_node"), *atom_u = intern("atom_u"),
             *atom_v = intern("atom_v"), *sym_u = intern("sym_u"), *sym_v = intern("sym_v"), *order = intern("order"),
             *k = intern("k"), *symbol = intern("symbol"), *rol = intern("rol"), *kind = intern("kind"),
             *weight = intern("weight"), *sigma = intern("sigma"), *pi = intern("pi"), *merkez = intern("Merkez"),
             *uc = intern("U\xc3\xa7"), *n_plus = intern("n+"), *n_zero = intern("n0"), *n_minus = intern("n-"),
             *eigenvalues = intern("eigenvalues"), *split = intern("split"), *mode = intern("mode"),
             *single = intern("single"), *ring = intern("ring"), *bond = intern("bond"), *fragments = intern("fragments");
    PyObject *one = PyFloat_FromDouble(1.0);
};

const Names &names() {
    static const Names *n = new Names();
    return *n;
}

py::object steal(PyObject *o) {
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(o);
}

py::object item(py::handle obj, PyObject *key) { return steal(PyObject_GetItem(obj.ptr(), key)); }

bool truth(py::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool equal(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

bool less(py::handle a, py::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

double as_double(py::handle o) {
    double d = PyFloat_AsDouble(o.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return d;
}

long long as_index(py::handle o) {
    py::object i = steal(PyNumber_Index(o.ptr()));
    long long v = PyLong_AsLongLong(i.ptr());
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

py::object int_(long long v) { return steal(PyLong_FromLongLong(v)); }

py::object builtin(const char *name) { return py::module_::import("builtins").attr(name); }

std::string text(py::handle o) { return py::str(o).cast<std::string>(); }

// The interpreter's unpacking of `obj` into exactly `expected` values.
std::vector<py::object> unpack(py::handle obj, std::size_t expected) {
    PyObject *it = PyObject_GetIter(obj.ptr());
    if (!it) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(obj.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    py::object iter = steal(it);
    std::vector<py::object> out;
    while (out.size() < expected) {
        PyObject *x = PyIter_Next(it);
        if (!x) {
            if (PyErr_Occurred()) throw py::error_already_set();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", expected, out.size());
            throw py::error_already_set();
        }
        out.push_back(steal(x));
    }
    PyObject *extra = PyIter_Next(it);
    if (extra) {
        Py_DECREF(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", expected);
        throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return out;
}

PyTypeObject *plain_graph_type() {
    static PyObject *type = [] {
        py::object t = py::module_::import("networkx").attr("Graph");
        return t.release().ptr();
    }();
    return reinterpret_cast<PyTypeObject *>(type);
}

}  // namespace

// ---------------------------------------------------------------------------
// Molecule items

std::vector<py::object> mol_items(py::handle mol, bool bonds) {
    static PyObject *mol_type = [] {
        py::object t = py::module_::import("rdkit.Chem.rdchem").attr("Mol");
        return t.release().ptr();
    }();
    std::vector<py::object> out;
    if (Py_IS_TYPE(mol.ptr(), reinterpret_cast<PyTypeObject *>(mol_type))) {
        const long long n = as_index(mol.attr(bonds ? "GetNumBonds" : "GetNumAtoms")());
        py::object get = mol.attr(bonds ? "GetBondWithIdx" : "GetAtomWithIdx");
        out.reserve(static_cast<std::size_t>(std::max(0LL, n)));
        for (long long i = 0; i < n; ++i) out.push_back(get(int_(i)));
        return out;
    }
    for (py::handle x : mol.attr(bonds ? "GetBonds" : "GetAtoms")()) out.push_back(py::reinterpret_borrow<py::object>(x));
    return out;
}

std::optional<MolInfo> read_mol_info(py::handle mol) {
    static PyObject *mol_type = [] {
        py::object t = py::module_::import("rdkit.Chem.rdchem").attr("Mol");
        return t.release().ptr();
    }();
    if (!Py_IS_TYPE(mol.ptr(), reinterpret_cast<PyTypeObject *>(mol_type))) return std::nullopt;
    MolInfo info;
    const long long n = as_index(mol.attr("GetNumAtoms")());
    const long long nb = as_index(mol.attr("GetNumBonds")());
    if (n < 0 || nb < 0) return std::nullopt;
    const auto n_atoms = static_cast<std::size_t>(n);
    auto call1 = [](PyObject *fn, py::handle self) { return steal(PyObject_CallOneArg(fn, self.ptr())); };
    py::object get_atom = mol.attr("GetAtomWithIdx"), get_bond = mol.attr("GetBondWithIdx");
    // Unbound accessors of the atom and bond types: no bound method per call.
    py::object GetSymbol, GetAtomicNum, GetIsotope, GetMass, GetNeighbors, GetIdx;
    for (long long i = 0; i < n; ++i) {
        py::object atom = get_atom(int_(i));
        if (!GetSymbol) {
            py::handle t = reinterpret_cast<PyObject *>(Py_TYPE(atom.ptr()));
            GetSymbol = t.attr("GetSymbol");
            GetAtomicNum = t.attr("GetAtomicNum");
            GetIsotope = t.attr("GetIsotope");
            GetMass = t.attr("GetMass");
            GetNeighbors = t.attr("GetNeighbors");
            GetIdx = t.attr("GetIdx");
        }
        info.symbol.push_back(call1(GetSymbol.ptr(), atom));
        info.atomic_num.push_back(call1(GetAtomicNum.ptr(), atom));
        info.isotope.push_back(call1(GetIsotope.ptr(), atom));
        info.mass.push_back(as_double(call1(GetMass.ptr(), atom)));
        std::vector<long> nbs;
        for (py::handle x : call1(GetNeighbors.ptr(), atom)) {
            const long long j = as_index(call1(GetIdx.ptr(), x));
            if (j < 0 || static_cast<std::size_t>(j) >= n_atoms) throw py::index_error("neighbour atom out of range");
            nbs.push_back(static_cast<long>(j));
        }
        info.neighbours.push_back(std::move(nbs));
    }
    py::object GetBeginAtomIdx, GetEndAtomIdx, GetBondTypeAsDouble;
    for (long long i = 0; i < nb; ++i) {
        py::object bond = get_bond(int_(i));
        if (!GetBeginAtomIdx) {
            py::handle t = reinterpret_cast<PyObject *>(Py_TYPE(bond.ptr()));
            GetBeginAtomIdx = t.attr("GetBeginAtomIdx");
            GetEndAtomIdx = t.attr("GetEndAtomIdx");
            GetBondTypeAsDouble = t.attr("GetBondTypeAsDouble");
        }
        const long long u = as_index(call1(GetBeginAtomIdx.ptr(), bond));
        const long long v = as_index(call1(GetEndAtomIdx.ptr(), bond));
        if (u < 0 || v < 0 || static_cast<std::size_t>(u) >= n_atoms || static_cast<std::size_t>(v) >= n_atoms)
            throw py::index_error("bond atom index out of range");
        info.bonds.emplace_back(static_cast<long>(u), static_cast<long>(v));
        info.bond_type.push_back(as_double(call1(GetBondTypeAsDouble.ptr(), bond)));
    }
    return info;
}

namespace {
thread_local PyObject *hint_mol = nullptr;
thread_local const MolInfo *hint_info = nullptr;
}  // namespace

MolInfoHint::MolInfoHint(py::handle mol, const MolInfo *info) : prev_mol_(hint_mol), prev_info_(hint_info) {
    hint_mol = mol.ptr();
    hint_info = info;
}

MolInfoHint::~MolInfoHint() {
    hint_mol = prev_mol_;
    hint_info = prev_info_;
}

const MolInfo *take_mol_info(py::handle mol) {
    const MolInfo *info = hint_mol == mol.ptr() ? hint_info : nullptr;
    hint_mol = nullptr;
    hint_info = nullptr;
    return info;
}

// ---------------------------------------------------------------------------
// Dense adjacency

bool is_plain_graph(py::handle graph) { return Py_IS_TYPE(graph.ptr(), plain_graph_type()); }

std::size_t DenseGraph::row(py::handle node) const {
    if (identity && PyLong_CheckExact(node.ptr())) {
        Py_ssize_t r = PyLong_AsSsize_t(node.ptr());
        if (r >= 0 && static_cast<std::size_t>(r) < n) return static_cast<std::size_t>(r);
        PyErr_Clear();
    }
    if (index.size() != n) {
        // Nodes equal to an int without being one (True, 1.0) find their row
        // through the graph's own dict lookup.
        index = py::dict();
        std::size_t i = 0;
        for (auto it : nodes) index[it.first] = py::int_(i++);
    }
    return index[node].cast<std::size_t>();
}

void check_dense_size(std::size_t n) {
    static const double limit = [] {
        const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGE_SIZE);
        return pages > 0 && page > 0 ? static_cast<double>(pages) * static_cast<double>(page) / 4.0 : 4.0e9;
    }();
    const double bytes = static_cast<double>(n) * static_cast<double>(n) * 8.0;
    if (bytes <= limit) return;
    char msg[200];
    std::snprintf(msg, sizeof msg,
                  "a graph of %zu nodes needs a dense %zu x %zu matrix of %.1f GB, more than a quarter of the "
                  "physical memory (%.1f GB)",
                  n, n, n, bytes / 1e9, limit * 4.0 / 1e9);
    PyErr_SetString(PyExc_MemoryError, msg);
    throw py::error_already_set();
}

Decompose numpy_eigh() {
    return [](const std::vector<double> &a, std::size_t n, std::vector<double> &w, std::vector<double> &q) {
        py::gil_scoped_acquire gil;
        try {
            const auto m = static_cast<py::ssize_t>(n);
            py::array_t<double> A({m, m});
            std::copy(a.begin(), a.end(), A.mutable_data());
            py::tuple res = lookup("np").attr("linalg").attr("eigh")(A);
            if (res.size() != 2) return false;
            py::array_t<double, py::array::c_style | py::array::forcecast> ev(res[0]), vec(res[1]);
            if (static_cast<std::size_t>(ev.size()) != n || static_cast<std::size_t>(vec.size()) != n * n)
                return false;
            w.assign(ev.data(), ev.data() + n);
            q.assign(vec.data(), vec.data() + n * n);
            return true;
        } catch (py::error_already_set &) {
            return false;
        }
    };
}

DenseGraph dense_adjacency(py::handle graph, py::handle weight) {
    DenseGraph g;
    py::dict nodes = graph.attr("_node");
    py::dict adj = graph.attr("_adj");
    g.nodes = nodes;
    g.n = static_cast<std::size_t>(nodes.size());
    check_dense_size(g.n);
    // Node integers 0..n-1 in insertion order need no index map.
    std::size_t i = 0;
    for (auto it : nodes) {
        PyObject *k = it.first.ptr();
        if (!PyLong_CheckExact(k) || PyLong_AsSsize_t(k) != static_cast<Py_ssize_t>(i++)) {
            PyErr_Clear();
            g.identity = false;
            break;
        }
    }
    g.a.assign(g.n * g.n, 0.0);
    for (auto row : adj) {
        const std::size_t r = g.row(row.first);
        for (auto entry : py::reinterpret_borrow<py::dict>(row.second)) {
            double w = 1.0;
            if (!weight.is_none()) {
                PyObject *v = PyDict_GetItemWithError(entry.second.ptr(), weight.ptr());
                if (v) {
                    w = as_double(v);
                } else if (PyErr_Occurred()) {
                    throw py::error_already_set();
                }
            }
            g.a[r * g.n + g.row(entry.first)] = w;
        }
    }
    return g;
}

py::array_t<double> adjacency(py::handle graph, py::handle weight) {
    if (!is_plain_graph(graph)) {
        check_dense_size(static_cast<std::size_t>(py::cast<py::ssize_t>(graph.attr("number_of_nodes")())));
        return py::array_t<double>(lookup("nx").attr("to_numpy_array")(graph, py::arg("weight") = weight));
    }
    DenseGraph g = dense_adjacency(graph, weight);
    const auto n = static_cast<py::ssize_t>(g.n);
    py::array_t<double> A({n, n});
    std::copy(g.a.begin(), g.a.end(), A.mutable_data());
    return A;
}

// ---------------------------------------------------------------------------
// LPI and soft bonds

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
    py::array_t<double> A = adjacency(graph, a[2]);
    py::array_t<double, py::array::c_style | py::array::forcecast> ev = np.attr("linalg").attr("eigvalsh")(A);
    SignCounts c = count_signs(ev.data(), static_cast<std::size_t>(ev.size()), tol);
    rec["n+"] = c.pos;
    rec["n0"] = c.zero;
    rec["n-"] = c.neg;
    rec["eigenvalues"] = ev;
    return rec;
}

namespace {

// The trial counts exactly as compute_lpi forms them: eigenvalues of the
// matrix with the cut entries zeroed, from numpy.
SignCounts cut_counts_from_eigenvalues(const DenseGraph &g, std::size_t i, std::size_t j, double tol) {
    const auto n = static_cast<py::ssize_t>(g.n);
    py::array_t<double> A({n, n});
    double *p = A.mutable_data();
    std::copy(g.a.begin(), g.a.end(), p);
    p[i * g.n + j] = 0.0;
    p[j * g.n + i] = 0.0;
    py::array_t<double, py::array::c_style | py::array::forcecast> ev =
        lookup("np").attr("linalg").attr("eigvalsh")(A);
    return count_signs(ev.data(), static_cast<std::size_t>(ev.size()), tol);
}

}  // namespace

py::object detect_soft_bonds(const Args &a) {
    const Names &N = names();
    py::handle graph = a[0], chem_bonds = a[1], baseline = a[2], tol = a[3];
    py::list soft;
    // The module's own compute_lpi on a plain graph: the trial counts come
    // from one dense matrix, all of them from one decomposition.
    bool fast = is_plain_graph(graph) && is_own(F_compute_lpi);
    double tol_d = 0.0;
    if (fast) {
        tol_d = PyFloat_AsDouble(tol.ptr());
        if (tol_d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            fast = false;
        } else if (!std::isfinite(tol_d) || tol_d < 0.0) {
            fast = false;
        }
    }
    py::object has_edge = graph.attr("has_edge");
    py::object remove_edge = graph.attr("remove_edge");
    py::object add_edge = graph.attr("add_edge");
    if (!fast) {
        py::object compute = lookup(F_compute_lpi);
        for (py::handle bond : chem_bonds) {
            py::object u = item(bond, N.u_node), v = item(bond, N.v_node);
            if (!truth(has_edge(u, v))) continue;
            py::object w = graph[u][v].attr("get")(py::handle(N.weight), py::handle(N.one));
            remove_edge(u, v);
            py::object lpi;
            try {
                lpi = compute(graph, py::arg("tol") = tol);
            } catch (...) {
                // the trial edge goes back before the error propagates
                try {
                    add_edge(u, v, py::arg("weight") = w);
                } catch (py::error_already_set &) {
                }
                throw;
            }
            add_edge(u, v, py::arg("weight") = w);
            if (equal(item(lpi, N.n_plus), item(baseline, N.n_plus)) &&
                equal(item(lpi, N.n_zero), item(baseline, N.n_zero)) &&
                equal(item(lpi, N.n_minus), item(baseline, N.n_minus)))
                soft.append(bond);
        }
        return soft;
    }
    // Each tested edge is taken out and put back as the test does it (the
    // counts only read the matrix, so the graph ends in the same state); the
    // counts of all trials are then had at once.
    std::optional<DenseGraph> dense;
    std::vector<py::object> tested;
    std::vector<std::pair<std::size_t, std::size_t>> trials;
    // On the adjacency dicts of the plain graph, has_edge, the weight read,
    // remove_edge and add_edge do exactly what the methods do: the edge is
    // re-inserted at the end of both neighbour dicts with a new data dict
    // holding only "weight", and the graph's conversion cache is cleared.
    py::object adj_obj = graph.attr("_adj");
    const bool plain_adj = PyDict_CheckExact(adj_obj.ptr());
    py::object cache = steal(PyObject_GetAttrString(graph.ptr(), "__dict__"));
    PyObject *cache_dict = PyDict_Check(cache.ptr()) ? PyDict_GetItemString(cache.ptr(), "__networkx_cache__") : nullptr;
    py::object cache_ref = cache_dict ? py::reinterpret_borrow<py::object>(cache_dict) : py::object();
    auto clear_cache = [&] {
        if (!cache_ref) return;
        if (PyDict_CheckExact(cache_ref.ptr())) {
            PyDict_Clear(cache_ref.ptr());
        } else if (truth(cache_ref)) {
            cache_ref.attr("clear")();
        }
    };
    auto direct = [&](py::handle u, py::handle v, bool &has, py::object &w) -> bool {
        if (!plain_adj) return false;
        PyObject *nu = PyDict_GetItemWithError(adj_obj.ptr(), u.ptr());
        if (!nu) {
            if (PyErr_Occurred()) {
                if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
                PyErr_Clear();
            }
            has = false;
            return true;
        }
        if (!PyDict_CheckExact(nu)) return false;
        PyObject *data = PyDict_GetItemWithError(nu, v.ptr());
        if (!data) {
            if (PyErr_Occurred()) throw py::error_already_set();
            has = false;
            return true;
        }
        if (!PyDict_CheckExact(data)) return false;
        has = true;
        PyObject *x = PyDict_GetItemWithError(data, N.weight);
        if (!x && PyErr_Occurred()) throw py::error_already_set();
        w = py::reinterpret_borrow<py::object>(x ? x : N.one);
        return true;
    };
    auto cut_and_restore = [&](py::handle u, py::handle v, py::handle w) {
        py::object nu = py::reinterpret_borrow<py::object>(PyDict_GetItemWithError(adj_obj.ptr(), u.ptr()));
        if (PyDict_DelItem(nu.ptr(), v.ptr()) < 0) throw py::error_already_set();
        const int ne = PyObject_RichCompareBool(u.ptr(), v.ptr(), Py_NE);
        if (ne < 0) throw py::error_already_set();
        if (ne) {
            PyObject *nv = PyDict_GetItemWithError(adj_obj.ptr(), v.ptr());
            if (!nv) {
                if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, v.ptr());
                throw py::error_already_set();
            }
            if (PyObject_DelItem(nv, u.ptr()) < 0) throw py::error_already_set();
        }
        clear_cache();
        py::dict data;
        if (PyDict_SetItem(data.ptr(), N.weight, w.ptr()) < 0) throw py::error_already_set();
        if (PyDict_SetItem(nu.ptr(), v.ptr(), data.ptr()) < 0) throw py::error_already_set();
        py::object nv = steal(PyObject_GetItem(adj_obj.ptr(), v.ptr()));
        if (PyObject_SetItem(nv.ptr(), u.ptr(), data.ptr()) < 0) throw py::error_already_set();
        clear_cache();
    };
    for (py::handle bond : chem_bonds) {
        py::object u = item(bond, N.u_node), v = item(bond, N.v_node);
        bool has = false;
        py::object w;
        const bool fast_dicts = direct(u, v, has, w);
        if (!fast_dicts) {
            has = truth(has_edge(u, v));
            if (has) w = graph[u][v].attr("get")(py::handle(N.weight), py::handle(N.one));
        }
        if (!has) continue;
        if (!dense) dense = dense_adjacency(graph, N.weight);
        trials.push_back({dense->row(u), dense->row(v)});
        tested.push_back(py::reinterpret_borrow<py::object>(bond));
        if (fast_dicts) {
            cut_and_restore(u, v, w);
        } else {
            remove_edge(u, v);
            add_edge(u, v, py::arg("weight") = w);
        }
    }
    if (trials.empty()) return soft;
    std::vector<CheckedCounts> counts;
    {
        Decompose eig = numpy_eigh();
        py::gil_scoped_release nogil;
        counts = trial_cut_counts(dense->a, dense->n, trials, tol_d, eig);
    }
    py::object bp = item(baseline, N.n_plus), bz, bn;
    for (std::size_t t = 0; t < trials.size(); ++t) {
        SignCounts c = counts[t].counts;
        if (!counts[t].certain) c = cut_counts_from_eigenvalues(*dense, trials[t].first, trials[t].second, tol_d);
        if (!equal(int_(c.pos), bp)) continue;
        if (!bz) bz = item(baseline, N.n_zero);
        if (!equal(int_(c.zero), bz)) continue;
        if (!bn) bn = item(baseline, N.n_minus);
        if (!equal(int_(c.neg), bn)) continue;
        soft.append(tested[t]);
    }
    return soft;
}

// ---------------------------------------------------------------------------
// Bond orders

py::object build_bond_orders(const Args &a) {
    py::dict out;
    py::object rnd, one = int_(1);
    for (py::handle bond : mol_items(a[0], true)) {
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

// ---------------------------------------------------------------------------
// Graph construction

namespace {

struct Built {
    py::object mol, H;
    py::list chem_bonds;
    py::dict atom_subgraphs, pos;
    // The molecule as read while building; reset once code outside the
    // module has been handed the molecule (it may have changed it).
    std::optional<MolInfo> info;
};

// Molecule parsed without sanitising, property cache updated, aromaticity and
// kekulization tried, explicit hydrogens added; nullopt when the SMILES is
// unreadable or describes no atom at all.
std::optional<py::object> prepare_molecule(py::handle smiles) {
    py::object Chem = lookup("Chem");
    py::object mol = Chem.attr("MolFromSmiles")(smiles, py::arg("sanitize") = false);
    if (!truth(mol)) return std::nullopt;
    if (as_index(mol.attr("GetNumAtoms")()) == 0) return std::nullopt;
    mol.attr("UpdatePropertyCache")(py::arg("strict") = false);
    try {
        Chem.attr("SetAromaticity")(mol);
        Chem.attr("Kekulize")(mol, py::arg("clearAromaticFlags") = true);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    return Chem.attr("AddHs")(mol);
}

// Atom positions from the layout's first value: one (x, y) row per atom.
std::vector<double> read_coords(py::handle first, std::size_t n_atoms) {
    py::object np = lookup("np");
    py::array_t<double, py::array::c_style | py::array::forcecast> arr =
        np.attr("asarray")(first, py::arg("dtype") = np.attr("float64"));
    if (arr.ndim() != 2 || arr.shape(1) != 2)
        throw py::value_error("compute_atom_layout must give one (x, y) row per atom");
    if (static_cast<std::size_t>(arr.shape(0)) < n_atoms) {
        PyErr_Format(PyExc_IndexError, "index %zd is out of bounds for axis 0 with size %zd",
                     static_cast<Py_ssize_t>(arr.shape(0)), static_cast<Py_ssize_t>(arr.shape(0)));
        throw py::error_already_set();
    }
    return std::vector<double>(arr.data(), arr.data() + 2 * n_atoms);
}

// Node count of an element from its period.
long nodes_for_period(py::handle period) {
    if (PyLong_CheckExact(period.ptr())) {
        int overflow = 0;
        long p = PyLong_AsLongAndOverflow(period.ptr(), &overflow);
        if (overflow) return overflow > 0 ? 9 : 1;
        return (p == 2 || p == 3) ? 4 : (p > 3 ? 9 : 1);
    }
    py::object two = int_(2), three = int_(3);
    if (equal(period, two) || equal(period, three)) return 4;
    if (less(three, period)) return 9;
    return 1;
}

std::optional<Built> build_vif_graph(py::handle smiles, py::handle n_iter, py::handle target_bond_len,
                                     py::handle radius_ratio, py::handle bond_kappa) {
    const Names &N = names();
    std::optional<py::object> prepared = prepare_molecule(smiles);
    if (!prepared) return std::nullopt;
    Built out;
    py::object mol = *prepared;
    out.mol = mol;
    {
        // A molecule whose VIF graph could not be held as a dense matrix is
        // refused before the layout: every atom beyond hydrogen has at least
        // four nodes.
        const long long n_all = as_index(mol.attr("GetNumAtoms")());
        const long long n_heavy = as_index(mol.attr("GetNumHeavyAtoms")());
        check_dense_size(static_cast<std::size_t>(n_all - n_heavy + 4 * n_heavy));
    }

    py::object layout = lookup(F_compute_atom_layout)(mol, py::arg("n_iter") = n_iter,
                                                      py::arg("target_bond_len") = target_bond_len);
    std::vector<py::object> pair = unpack(layout, 2);
    const auto n_atoms = static_cast<std::size_t>(as_index(mol.attr("GetNumAtoms")()));
    std::vector<double> coords = read_coords(pair[0], n_atoms);

    const bool own_orders = is_own(F_build_bond_orders);
    py::object bond_orders;
    if (!own_orders) bond_orders = lookup(F_build_bond_orders)(mol);

    py::object nx = lookup("nx");
    py::object H = nx.attr("Graph")();
    out.H = H;
    const double radius = as_double(steal(PyNumber_Multiply(target_bond_len.ptr(), radius_ratio.ptr())));

    // Atoms, neighbours and bonds, read from RDKit once.
    std::vector<py::object> symbols;
    std::vector<py::object> atom_ids;
    std::vector<std::vector<Neighbour>> atoms;
    std::vector<Bond> bonds;
    std::unordered_map<unsigned long long, long> order_of;  // own bond orders by atom pair
    auto pair_key = [n_atoms](long u, long v) {
        return static_cast<unsigned long long>(std::min(u, v)) * n_atoms + static_cast<unsigned long long>(std::max(u, v));
    };
    auto add_bond = [&](py::handle ou, py::handle ov, long u, long v, double type) {
        long long order;
        if (own_orders) {
            order = bond_order_of(type);
            order_of[pair_key(u, v)] = static_cast<long>(order);
        } else {
            order = as_index(bond_orders[py::make_tuple(ou, ov)]);
        }
        bonds.push_back({u, v, order});
    };
    out.info = read_mol_info(mol);
    if (out.info) {
        const MolInfo &info = *out.info;
        if (info.symbol.size() != n_atoms) throw py::value_error("molecule atoms changed during the layout");
        symbols = info.symbol;
        for (std::size_t idx = 0; idx < n_atoms; ++idx) {
            atom_ids.push_back(int_(static_cast<long long>(idx)));
            std::vector<Neighbour> nbs;
            for (long j : info.neighbours[idx]) nbs.push_back({j, 1});
            atoms.push_back(std::move(nbs));
        }
        for (std::size_t k = 0; k < info.bonds.size(); ++k) {
            const auto [u, v] = info.bonds[k];
            if (own_orders)
                add_bond(py::handle(), py::handle(), u, v, info.bond_type[k]);
            else
                add_bond(int_(u), int_(v), u, v, 0.0);
        }
    } else {
        symbols.reserve(n_atoms);
        atoms.reserve(n_atoms);
        for (py::handle atom : mol_items(mol, false)) {
            atom_ids.push_back(atom.attr("GetIdx")());
            symbols.push_back(atom.attr("GetSymbol")());
            std::vector<Neighbour> nbs;
            for (py::handle nb : atom.attr("GetNeighbors")()) {
                long long j = as_index(nb.attr("GetIdx")());
                if (j < 0 || static_cast<std::size_t>(j) >= n_atoms) throw py::index_error("neighbour atom out of range");
                nbs.push_back({static_cast<long>(j), 1});
            }
            atoms.push_back(std::move(nbs));
        }
        if (atoms.size() != n_atoms) throw py::value_error("molecule atoms changed during the layout");
        for (py::handle b : mol_items(mol, true)) {
            py::object ou = b.attr("GetBeginAtomIdx")(), ov = b.attr("GetEndAtomIdx")();
            const long u = static_cast<long>(as_index(ou)), v = static_cast<long>(as_index(ov));
            add_bond(ou, ov, u, v, own_orders ? as_double(b.attr("GetBondTypeAsDouble")()) : 0.0);
        }
    }
    for (std::size_t idx = 0; idx < n_atoms; ++idx) {
        for (auto &nb : atoms[idx]) {
            if (own_orders) {
                auto it = order_of.find(pair_key(static_cast<long>(idx), nb.atom));
                nb.order = it == order_of.end() ? 1 : it->second;
            } else {
                nb.order = as_index(bond_orders.attr("get")(py::make_tuple(atom_ids[idx], int_(nb.atom)), int_(1)));
            }
        }
    }

    // Hooks: the module's own layout functions in C++, rebound names through
    // the interpreter.
    GraphHooks hooks;
    if (is_own(F_get_period)) {
        std::unordered_map<std::string, long> by_symbol;
        hooks.n_nodes = [&, by_symbol](std::size_t atom) mutable {
            std::string s = text(symbols[atom]);
            auto it = by_symbol.find(s);
            if (it != by_symbol.end()) return it->second;
            long nn = nodes_for_period(lookup(F_get_period)(symbols[atom]));
            by_symbol.emplace(std::move(s), nn);
            return nn;
        };
    } else {
        hooks.n_nodes = [&](std::size_t atom) { return nodes_for_period(lookup(F_get_period)(symbols[atom])); };
    }
    if (is_own(F_yerlestir_dugumler)) {
        hooks.node_angles = [](long nn, const std::vector<double> &t) { return layout::node_angles(nn, t); };
    } else {
        hooks.node_angles = [](long nn, const std::vector<double> &t) {
            py::list targets;
            for (double x : t) targets.append(x);
            py::object res = lookup(F_yerlestir_dugumler)(nn, targets);
            std::vector<double> angles;
            for (py::handle x : res) {
                if (static_cast<long>(angles.size()) >= nn) break;
                angles.push_back(as_double(x));
            }
            return angles;
        };
    }
    if (is_own(F_angle_diff)) {
        hooks.angle_diff = [](double x, double y) { return layout::angle_diff(x, y); };
    } else {
        hooks.angle_diff = [](double x, double y) { return as_double(lookup(F_angle_diff)(x, y)); };
    }

    VifGraph g;
    try {
        g = vif::build_vif_graph(atoms, bonds, coords, radius, hooks);
    } catch (const MissingNodeAngle &m) {
        PyErr_SetObject(PyExc_KeyError, int_(m.node).ptr());
        throw py::error_already_set();
    }

    // Node ints, shared by the graph, the node lists and the records.
    std::vector<py::object> node_obj(static_cast<std::size_t>(g.n_nodes));
    for (long i = 0; i < g.n_nodes; ++i) node_obj[static_cast<std::size_t>(i)] = int_(i);
    auto node = [&](long i) -> py::handle { return node_obj[static_cast<std::size_t>(i)]; };
    auto is_centre = [](py::handle s) {
        return PyUnicode_CompareWithASCIIString(s.ptr(), "C") == 0 || PyUnicode_CompareWithASCIIString(s.ptr(), "Li") == 0;
    };

    if (is_plain_graph(H)) {
        // Fill the graph's dicts in the order add_nodes_from / add_edge would.
        py::dict node_dict = H.attr("_node"), adj = H.attr("_adj");
        for (std::size_t idx = 0; idx < n_atoms; ++idx) {
            py::handle sym = symbols[idx];
            PyObject *rol = PyUnicode_Check(sym.ptr()) && is_centre(sym) ? N.merkez : N.uc;
            for (long i = 0; i < g.count[idx]; ++i) {
                py::dict attrs;
                PyDict_SetItem(attrs.ptr(), N.symbol, sym.ptr());
                PyDict_SetItem(attrs.ptr(), N.rol, rol);
                PyDict_SetItem(attrs.ptr(), N.kind, i < g.n_sigma[idx] ? N.sigma : N.pi);
                py::handle n = node(g.first[idx] + i);
                adj[n] = py::dict();
                node_dict[n] = attrs;
            }
        }
        auto join = [&](long u, long v, PyObject *w) {
            py::dict data;
            if (PyDict_SetItem(data.ptr(), N.weight, w) < 0) throw py::error_already_set();
            adj[node(u)][node(v)] = data;
            adj[node(v)][node(u)] = data;
        };
        for (const auto &[u, v] : g.sigma_edges) join(u, v, N.one);
        for (const auto &unit : g.units) join(unit.u_node, unit.v_node, bond_kappa.ptr());
    } else {
        py::object add_nodes_from = H.attr("add_nodes_from"), add_edge = H.attr("add_edge");
        std::size_t e = 0;
        for (std::size_t idx = 0; idx < n_atoms; ++idx) {
            py::handle sym = symbols[idx];
            py::handle rol = PyUnicode_Check(sym.ptr()) && is_centre(sym) ? N.merkez : N.uc;
            py::list sigma, pi;
            for (long i = 0; i < g.count[idx]; ++i) (i < g.n_sigma[idx] ? sigma : pi).append(node(g.first[idx] + i));
            add_nodes_from(sigma, py::arg("symbol") = sym, py::arg("rol") = rol, py::arg("kind") = py::handle(N.sigma));
            add_nodes_from(pi, py::arg("symbol") = sym, py::arg("rol") = rol, py::arg("kind") = py::handle(N.pi));
            const long last = g.first[idx] + g.n_sigma[idx];
            for (; e < g.sigma_edges.size() && g.sigma_edges[e].first < last; ++e)
                add_edge(node(g.sigma_edges[e].first), node(g.sigma_edges[e].second),
                         py::arg("weight") = py::handle(N.one));
        }
        for (const auto &unit : g.units)
            add_edge(node(unit.u_node), node(unit.v_node), py::arg("weight") = bond_kappa);
    }

    for (std::size_t idx = 0; idx < n_atoms; ++idx) {
        py::list members;
        for (long i = 0; i < g.count[idx]; ++i) members.append(node(g.first[idx] + i));
        out.atom_subgraphs[atom_ids[idx]] = members;
    }
    for (long i = 0; i < g.n_nodes; ++i) {
        const auto s = static_cast<std::size_t>(i);
        if (!g.placed[s]) continue;
        py::array_t<double> p(2);
        p.mutable_data()[0] = g.xy[2 * s];
        p.mutable_data()[1] = g.xy[2 * s + 1];
        out.pos[node(i)] = p;
    }
    std::vector<py::object> order_obj(bonds.size());
    for (const auto &unit : g.units) {
        const Bond &b = bonds[unit.bond];
        py::object &order = order_obj[unit.bond];
        if (!order) order = int_(b.order);
        py::dict rec;
        PyObject *r = rec.ptr();
        PyDict_SetItem(r, N.u_node, node(unit.u_node).ptr());
        PyDict_SetItem(r, N.v_node, node(unit.v_node).ptr());
        PyDict_SetItem(r, N.atom_u, int_(b.u).ptr());
        PyDict_SetItem(r, N.atom_v, int_(b.v).ptr());
        PyDict_SetItem(r, N.sym_u, symbols[static_cast<std::size_t>(b.u)].ptr());
        PyDict_SetItem(r, N.sym_v, symbols[static_cast<std::size_t>(b.v)].ptr());
        PyDict_SetItem(r, N.order, order.ptr());
        PyDict_SetItem(r, N.k, int_(unit.k).ptr());
        if (PyErr_Occurred()) throw py::error_already_set();
        out.chem_bonds.append(rec);
    }
    return out;
}

// ---------------------------------------------------------------------------
// Drawing

void draw_graph(py::handle smiles, const Built &b, py::handle lpi, py::handle softs, py::handle soft_edge_set,
                py::handle mol_mass, py::handle fragments, py::handle show_spectrum) {
    const Names &N = names();
    py::object plt = lookup("plt"), nx = lookup("nx");
    plt.attr("figure")(py::arg("figsize") = py::make_tuple(12, 10));
    py::dict color_map;
    const char *colors[][2] = {{"C", "red"}, {"Li", "orange"}, {"H", "skyblue"}, {"Cl", "lightgreen"},
                               {"O", "red"}, {"B", "pink"},     {"N", "violet"},  {"F", "yellow"},
                               {"S", "gold"}, {"P", "darkorange"}};
    for (auto &c : colors) color_map[py::str(c[0])] = py::str(c[1]);
    py::object gray = py::str("gray");
    py::handle H = b.H;
    py::list node_colors;
    py::dict labels;
    py::object nodes_view = H.attr("nodes");
    for (py::handle n : H.attr("nodes")()) {
        py::object sym = item(nodes_view[n], N.symbol);
        node_colors.append(color_map.attr("get")(sym, gray));
        labels[n] = py::str(text(sym) + text(n));
    }
    py::list essential, soft;
    py::object pymin = builtin("min"), pymax = builtin("max");
    for (py::handle e : H.attr("edges")()) {
        std::vector<py::object> uv = unpack(e, 2);
        py::tuple key = py::make_tuple(pymin(uv[0], uv[1]), pymax(uv[0], uv[1]));
        int in = PySequence_Contains(soft_edge_set.ptr(), key.ptr());
        if (in < 0) throw py::error_already_set();
        (in ? soft : essential).append(py::make_tuple(uv[0], uv[1]));
    }
    nx.attr("draw_networkx_nodes")(H, b.pos, py::arg("node_color") = node_colors, py::arg("node_size") = 800,
                                   py::arg("alpha") = 0.9);
    nx.attr("draw_networkx_labels")(H, b.pos, py::arg("labels") = labels, py::arg("font_size") = 8);
    nx.attr("draw_networkx_edges")(H, b.pos, py::arg("edgelist") = essential, py::arg("edge_color") = "black",
                                   py::arg("width") = 1.5, py::arg("alpha") = 0.9);
    nx.attr("draw_networkx_edges")(H, b.pos, py::arg("edgelist") = soft, py::arg("edge_color") = "red",
                                   py::arg("width") = 2.0, py::arg("style") = "dashed", py::arg("alpha") = 0.9);
    std::string soft_label = truth(softs) ? "soft: " + text(int_(py::len(softs))) + " bond" : "soft: yok";
    std::string title = "VIF: " + text(smiles) + "   |   LPI = {n+=" + text(item(lpi, N.n_plus)) +
                        ", n0=" + text(item(lpi, N.n_zero)) + ", n-=" + text(item(lpi, N.n_minus)) + "}   |   " +
                        soft_label;
    plt.attr("title")(py::str(title));
    plt.attr("axis")("equal");
    if (truth(show_spectrum)) lookup(F_plot_mass_spectrum)(smiles, mol_mass, fragments);
    plt.attr("show")();
}

void say(const std::string &line) { py::print(py::str(line)); }

// "formula (m/z=mz)" for each fragment tuple of a prediction record, joined
// with "  +  ".
std::string fragment_text(py::handle record) {
    std::string out;
    bool first = true;
    for (py::handle entry : item(record, names().fragments)) {
        std::vector<py::object> f = unpack(entry, 3);
        if (!first) out += "  +  ";
        first = false;
        out += text(f[0]) + " (m/z=" + text(f[2]) + ")";
    }
    return out;
}

// The nominal m/z of every fragment tuple of a prediction record.
void add_peaks(py::handle record, py::set &peaks) {
    for (py::handle entry : item(record, names().fragments)) {
        std::vector<py::object> f = unpack(entry, 3);
        peaks.add(f[2]);
    }
}

}  // namespace

py::object VIF(const Args &a) {
    const Names &N = names();
    py::handle smiles = a[0], n_iter = a[1], target_bond_len = a[2], radius_ratio = a[3], show_spectrum = a[4],
               bond_kappa = a[5], draw = a[6], verbose = a[7], ring_fragmentation = a[8], recursive_ms = a[9],
               max_generations = a[10];

    std::optional<Built> built = build_vif_graph(smiles, n_iter, target_bond_len, radius_ratio, bond_kappa);
    if (!built) return py::str("SMILES okunamad\xc4\xb1!");
    Built &b = *built;
    py::object mol = b.mol, H = b.H;

    py::object lpi = lookup(F_compute_lpi)(H);
    // The molecule as read while building serves the module's own functions
    // below until code from outside the module has been handed it.
    const Py_ssize_t n_atoms = static_cast<Py_ssize_t>(as_index(mol.attr("GetNumAtoms")()));
    py::list masses;
    if (b.info && static_cast<Py_ssize_t>(b.info->mass.size()) == n_atoms) {
        for (double m : b.info->mass) masses.append(py::float_(m));
    } else {
        b.info.reset();
        for (Py_ssize_t i = 0; i < n_atoms; ++i) masses.append(mol.attr("GetAtomWithIdx")(i).attr("GetMass")());
    }
    py::object mol_mass_avg = builtin("sum")(masses);
    py::object atoms_range = steal(PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyRange_Type), "n", n_atoms));
    py::object mol_mass;
    if (is_own(F_nominal_mass)) {
        MolInfoHint hint(mol, b.info ? &*b.info : nullptr);
        mol_mass = lookup(F_nominal_mass)(mol, atoms_range);
    } else {
        b.info.reset();
        mol_mass = lookup(F_nominal_mass)(mol, atoms_range);
    }

    if (truth(verbose)) {
        py::object np = lookup("np");
        py::object pos = item(lpi, N.n_plus), zero = item(lpi, N.n_zero), neg = item(lpi, N.n_minus);
        py::object total = steal(PyNumber_Add(steal(PyNumber_Add(pos.ptr(), zero.ptr())).ptr(), neg.ptr()));
        py::object ev = np.attr("round")(item(lpi, N.eigenvalues), 3).attr("tolist")();
        say("[VIF] " + text(smiles));
        say("      Molecular mass M = " + text(builtin("format")(mol_mass_avg, ".2f")) +
            " g/mol (avg)  (M+ peak m/z = " + text(mol_mass) + " nominal)");
        say("      LPI = {n+=" + text(pos) + ", n0=" + text(zero) + ", n-=" + text(neg) + "}  (" + text(total) +
            " orbitals total)");
        say("      Eigenvalues: " + text(ev));
    }

    py::object softs = lookup(F_detect_soft_bonds)(H, b.chem_bonds, lpi);
    py::set soft_edge_set;
    {
        py::object pymin = builtin("min"), pymax = builtin("max");
        for (py::handle s : softs) {
            py::object u = item(s, N.u_node), v = item(s, N.v_node);
            soft_edge_set.add(py::make_tuple(pymin(u, v), pymax(u, v)));
        }
    }
    py::object fragments;
    {
        // Records of the module's own soft-bond search are plain dicts: no
        // outside code runs while the fragments are predicted.
        const bool share = b.info && is_own(F_detect_soft_bonds) && is_own(F_predict_fragments);
        MolInfoHint hint(mol, share ? &*b.info : nullptr);
        fragments = lookup(F_predict_fragments)(mol, softs, py::arg("ring_fragmentation") = ring_fragmentation);
    }
    if (!is_own(F_predict_fragments)) b.info.reset();
    py::list single_frags, ringcut_frags, ring_bonds;
    for (py::handle f : fragments)
        if (truth(item(f, N.split)) && equal(item(f, N.mode), N.single)) single_frags.append(f);
    for (py::handle f : fragments)
        if (truth(item(f, N.split)) && equal(item(f, N.mode), N.ring)) ringcut_frags.append(f);
    for (py::handle f : fragments)
        if (!truth(item(f, N.split))) ring_bonds.append(f);
    py::list real_frags = steal(PySequence_Concat(single_frags.ptr(), ringcut_frags.ptr()));
    py::object recursive_peaks = py::none();
    if (truth(recursive_ms))
        recursive_peaks = lookup(F_predict_fragments_recursive)(
            mol, H, b.atom_subgraphs, b.chem_bonds, py::arg("max_generations") = max_generations,
            py::arg("ring_fragmentation") = true);

    if (truth(verbose)) {
        if (truth(softs)) {
            say("      Soft bonds: " + text(int_(py::len(softs))) + "  (" + text(int_(py::len(single_frags))) +
                " single-cut fragment(s) + " + text(int_(py::len(ring_bonds))) + " ring bond(s))");
        } else {
            say("      Soft bonds: none (all bonds essential \xe2\x86\x92 stable M+ dominates)");
        }
        py::set mz_peaks;
        if (truth(single_frags)) {
            say("      Single-cut MS fragments (m/z):");
            for (py::handle f : single_frags) {
                say("        if " + text(item(f, N.bond)) + " cleaves:  " + fragment_text(f));
                add_peaks(f, mz_peaks);
            }
        }
        if (truth(ringcut_frags)) {
            say("      Ring double-cut fragments (" + text(int_(py::len(ringcut_frags))) +
                " possible cleavages \xe2\x80\x94 not all may be observed):");
            for (py::handle f : ringcut_frags) {
                say("        " + text(item(f, N.bond)) + ":  " + fragment_text(f));
                add_peaks(f, mz_peaks);
            }
        }
        if (truth(mz_peaks)) {
            say("      Expected peak m/z list: " + text(builtin("sorted")(mz_peaks, py::arg("reverse") = true)));
        } else if (!truth(single_frags)) {
            say("      No real fragments \xe2\x86\x92 M+ dominates, single peak");
        }
        if (truth(recursive_peaks)) {
            say("      Multi-generation MS (" + text(max_generations) + " generations, " +
                text(int_(py::len(recursive_peaks))) + " peaks):");
            say("        m/z list: " + text(builtin("sorted")(recursive_peaks, py::arg("reverse") = true)));
        }
    }

    py::dict rec;
    rec["lpi"] = lpi;
    rec["soft_bonds"] = softs;
    rec["fragments"] = fragments;
    if (!truth(draw)) {
        rec["real_fragments"] = real_frags;
        rec["single_fragments"] = single_frags;
        rec["ringcut_fragments"] = ringcut_frags;
        rec["ring_soft_bonds"] = ring_bonds;
        rec["recursive_peaks"] = recursive_peaks;
    } else {
        draw_graph(smiles, b, lpi, softs, soft_edge_set, mol_mass, fragments, show_spectrum);
    }
    rec["graph"] = H;
    rec["chem_bonds"] = b.chem_bonds;
    rec["atom_subgraphs"] = b.atom_subgraphs;
    rec["pos"] = b.pos;
    rec["mol_mass"] = mol_mass;
    rec["mol_mass_avg"] = mol_mass_avg;
    return rec;
}

}  // namespace corvane::vif
