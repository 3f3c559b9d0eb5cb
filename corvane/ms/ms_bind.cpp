// Python-facing side of the mass-spectrum prediction: RDKit molecules,
// networkx graphs and bond records in, fragment lists, peak tables and plots
// out.  The algorithms live in ms_core.
#include <pybind11/numpy.h>

#include <climits>
#include <cmath>
#include <unordered_map>
#include <unordered_set>

#include "../adapters/graph_matrix.hpp"
#include "../adapters/mol_reader.hpp"
#include "../lpi/lpi_core.hpp"
#include "../module/blas.hpp"
#include "../module/registry.hpp"
#include "ms_core.hpp"

namespace corvane::ms {
namespace {

std::string as_text(py::handle h, const char *what) {
    if (!PyUnicode_Check(h.ptr())) {
        PyErr_Format(PyExc_TypeError, "%s must be str, not %.200s", what, Py_TYPE(h.ptr())->tp_name);
        raise();
    }
    Py_ssize_t len = 0;
    const char *s = PyUnicode_AsUTF8AndSize(h.ptr(), &len);
    if (!s) raise();
    return std::string(s, static_cast<std::size_t>(len));
}

// The atom index a value names in a graph whose nodes are the ints 0..n-1
// (a value equal to one of them, as dict lookup sees it), or -1.
long long node_of(py::handle x, long long n) {
    long long v = -1;
    PyObject *o = x.ptr();
    if (PyLong_Check(o)) {
        int overflow = 0;
        v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return -1;
        }
    } else if (PyFloat_Check(o)) {
        double d = PyFloat_AS_DOUBLE(o);
        if (!(d >= 0 && d < static_cast<double>(n)) || d != std::floor(d)) return -1;
        v = static_cast<long long>(d);
    } else if (PyIndex_Check(o)) {
        PyObject *i = PyNumber_Index(o);
        if (!i) {
            PyErr_Clear();
            return -1;
        }
        int overflow = 0;
        v = PyLong_AsLongLongAndOverflow(i, &overflow);
        Py_DECREF(i);
        if (overflow || (v == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return -1;
        }
    } else {
        return -1;
    }
    return v >= 0 && v < n ? v : -1;
}

// A Python int sum started from 0, kept in C++ while the terms are small ints.
class IntSum {
public:
    void add(py::handle v) {
        if (!obj_ && PyLong_CheckExact(v.ptr())) {
            int overflow = 0;
            long long x = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
            long long r = 0;
            if (!overflow && !(x == -1 && PyErr_Occurred()) && !__builtin_add_overflow(acc_, x, &r)) {
                acc_ = r;
                return;
            }
            PyErr_Clear();
        }
        if (!obj_) obj_ = py::int_(acc_);
        obj_ = steal(PyNumber_Add(obj_.ptr(), v.ptr()));
    }
    py::object result() const { return obj_ ? obj_ : py::int_(acc_); }

private:
    long long acc_ = 0;
    py::object obj_;
};

// ---------------------------------------------------------------------------
// Nominal masses.

py::object memo_atom_mass(py::handle atomic_num) {
    py::object memo = lookup("_NOMINAL_ISOTOPE");
    py::object m;
    if (PyDict_CheckExact(memo.ptr())) {
        PyObject *v = dict_get(memo, atomic_num);
        m = v ? py::reinterpret_borrow<py::object>(v) : py::none();
    } else {
        m = memo.attr("get")(atomic_num);
    }
    if (m.is_none()) {
        m = lookup("Chem").attr("GetPeriodicTable")().attr("GetMostCommonIsotope")(atomic_num);
        if (PyObject_SetItem(memo.ptr(), atomic_num.ptr(), m.ptr()) < 0) raise();
    }
    return m;
}

py::object atom_mass_number(py::handle atomic_num) {
    if (is_own(F_nominal_atom_mass)) return memo_atom_mass(atomic_num);
    return lookup(F_nominal_atom_mass)(atomic_num);
}

// An isotope-labelled atom ([2H], [13C]) counts its own mass number; any
// other atom the most common isotope of its element.
py::object atom_nominal(py::handle atom) {
    py::object iso = atom.attr("GetIsotope")();
    if (truth(iso)) return iso;
    return atom_mass_number(atom.attr("GetAtomicNum")());
}

// The same from an atom's isotope and atomic number as already read.
py::object atom_nominal(py::handle iso, py::handle atomic_num) {
    if (truth(iso)) return py::reinterpret_borrow<py::object>(iso);
    return atom_mass_number(atomic_num);
}

// What RDKit says about the atoms of one molecule, asked once per atom.
class AtomTable {
public:
    // `info`, when given, is the molecule as already read: nothing is asked
    // of RDKit again.
    explicit AtomTable(py::handle mol, const mol::MolInfo *info = nullptr) : mol_(mol), info_(info) {}

    py::handle atom(int i) {
        Entry &e = entry(i);
        if (!e.atom) e.atom = mol_.attr("GetAtomWithIdx")(i);
        return e.atom;
    }
    const std::string &symbol(int i) {
        Entry &e = entry(i);
        if (!e.has_symbol) {
            e.symbol = as_text(info_ ? info_->symbol[i] : atom(i).attr("GetSymbol")(), "atom symbol");
            e.has_symbol = true;
        }
        return e.symbol;
    }
    bool heavy(int i) {
        Entry &e = entry(i);
        if (e.heavy < 0)
            e.heavy = compare(info_ ? info_->atomic_num[i] : atom(i).attr("GetAtomicNum")(), py::int_(1), Py_GT) ? 1 : 0;
        return e.heavy != 0;
    }
    double mass(int i) {
        Entry &e = entry(i);
        if (!e.has_mass) {
            e.mass = info_ ? info_->mass[i] : as_double(atom(i).attr("GetMass")());
            e.has_mass = true;
        }
        return e.mass;
    }
    py::handle nominal(int i) {
        Entry &e = entry(i);
        if (!e.nominal) e.nominal = info_ ? atom_nominal(info_->isotope[i], info_->atomic_num[i]) : atom_nominal(atom(i));
        return e.nominal;
    }

private:
    struct Entry {
        py::object atom, nominal;
        std::string symbol;
        bool has_symbol = false, has_mass = false;
        int heavy = -1;
        double mass = 0;
    };
    Entry &entry(int i) { return entries_[i]; }
    py::handle mol_;
    const mol::MolInfo *info_;
    std::unordered_map<int, Entry> entries_;
};

// The molecule as VIF read it, when it was handed one and its per-atom
// tables agree in length (every atom index below is checked against them).
const mol::MolInfo *molecule_as_read(py::handle mol) {
    const mol::MolInfo *info = mol::take_mol_info(mol);
    if (!info) return nullptr;
    const std::size_t n = info->symbol.size();
    if (info->atomic_num.size() != n || info->isotope.size() != n || info->mass.size() != n) return nullptr;
    return info;
}

py::set index_set(const std::vector<int> &atoms) {
    py::set s;
    for (int a : atoms)
        if (PySet_Add(s.ptr(), py::int_(a).ptr()) < 0) raise();
    return s;
}

// _nominal_mass and _fragment_formula of a fragment, through the module-level
// names as they are bound now.
py::object fragment_nominal(py::handle mol, AtomTable &t, const std::vector<int> &atoms) {
    if (!is_own(F_nominal_mass)) return lookup(F_nominal_mass)(mol, index_set(atoms));
    IntSum s;
    for (int a : atoms) s.add(t.nominal(a));
    return s.result();
}

py::object fragment_formula_of(py::handle mol, AtomTable &t, const std::vector<int> &atoms) {
    if (!is_own(F_fragment_formula)) return lookup(F_fragment_formula)(mol, index_set(atoms));
    std::map<std::string, long long> counts;
    for (int a : atoms) ++counts[t.symbol(a)];
    return py::str(formula(counts));
}

std::vector<std::pair<int, int>> bonds_of(py::handle mol) {
    std::vector<std::pair<int, int>> bonds;
    for (py::handle b : mol::mol_items(mol, true)) {
        long long u = node_of(b.attr("GetBeginAtomIdx")(), INT_MAX);
        long long v = node_of(b.attr("GetEndAtomIdx")(), INT_MAX);
        bonds.push_back({static_cast<int>(u), static_cast<int>(v)});
    }
    return bonds;
}

// mol.GetNumAtoms() as an index (TypeError for a non-integer, as range()
// would raise), within what an atom table can hold.
long long atom_count(py::handle mol) {
    const long long n = as_index(mol.attr("GetNumAtoms")());
    if (n < 0 || n > INT_MAX) throw py::value_error("molecule has an invalid number of atoms");
    return n;
}

// ---------------------------------------------------------------------------
// Soft bonds of a fragment.

// A plain nx.Graph read into owned references before any Python code runs:
// its nodes in order and, row by row in adjacency order, each neighbour with
// its edge data and "weight" value.  Python code that runs afterwards (a
// node's __hash__ or __eq__, a weight's __float__, a generator) cannot free
// what was read; verify() then says whether the graph still is what was
// read, and raises RuntimeError naming what changed if it is not.
class GraphSnapshot {
public:
    struct Entry {
        py::object nbr, data, weight;  // weight: null when the edge has none
    };
    struct Row {
        py::object key, dict;
        std::vector<Entry> entries;
    };
    std::vector<py::object> nodes;
    std::vector<Row> rows;

    // Reads the graph; false when its node or adjacency dicts, a row or an
    // edge's data are not exact dicts, or an edge has a data key that is not
    // an exact str: such a graph goes the way of networkx's own methods.
    bool capture(py::handle graph) {
        graph_ = borrow(graph.ptr());
        node_dict_ = graph.attr("_node");
        adj_dict_ = graph.attr("_adj");
        if (!PyDict_CheckExact(node_dict_.ptr()) || !PyDict_CheckExact(adj_dict_.ptr())) return false;
        // Nothing below runs Python code until the whole graph is read.
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        nodes.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(node_dict_.ptr())));
        while (PyDict_Next(node_dict_.ptr(), &pos, &k, &v)) nodes.push_back(borrow(k));
        pos = 0;
        while (PyDict_Next(adj_dict_.ptr(), &pos, &k, &v)) {
            if (!PyDict_CheckExact(v)) return false;
            Row r{borrow(k), borrow(v), {}};
            Py_ssize_t p2 = 0;
            PyObject *nbr, *data;
            while (PyDict_Next(v, &p2, &nbr, &data)) {
                PyObject *w = nullptr;
                if (!weight_of(data, w)) return false;
                r.entries.push_back({borrow(nbr), borrow(data), w ? borrow(w) : py::object()});
            }
            rows.push_back(std::move(r));
        }
        return true;
    }

    // Raises RuntimeError when the graph's nodes, edges or edge weights are
    // no longer the ones read (`fn` names the function for the message).
    // Runs no Python code after reading the graph's two dicts.
    void verify(const char *fn) const {
        py::object nd = graph_.attr("_node"), ad = graph_.attr("_adj");
        if (nd.ptr() != node_dict_.ptr() || !same_keys(nd.ptr(), nodes)) changed(fn, "nodes were added or removed");
        if (ad.ptr() != adj_dict_.ptr() || PyDict_GET_SIZE(ad.ptr()) != static_cast<Py_ssize_t>(rows.size()))
            changed(fn, "edges were added or removed");
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        std::size_t i = 0;
        while (PyDict_Next(ad.ptr(), &pos, &k, &v)) {
            const Row &r = rows[i++];
            if (k != r.key.ptr() || v != r.dict.ptr() || !PyDict_CheckExact(v) ||
                PyDict_GET_SIZE(v) != static_cast<Py_ssize_t>(r.entries.size()))
                changed(fn, "edges were added or removed");
            Py_ssize_t p2 = 0;
            PyObject *nbr, *data;
            std::size_t j = 0;
            while (PyDict_Next(v, &p2, &nbr, &data)) {
                const Entry &e = r.entries[j++];
                if (nbr != e.nbr.ptr()) changed(fn, "edges were added or removed");
                PyObject *w = nullptr;
                if (data != e.data.ptr() || !weight_of(data, w) || w != e.weight.ptr())
                    changed(fn, "edge weights were changed");
            }
        }
    }

private:
    // The "weight" value of an edge's data dict (null when absent); false
    // when the data is not an exact dict with exact str keys.
    static bool weight_of(PyObject *data, PyObject *&w) {
        if (!PyDict_CheckExact(data)) return false;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        w = nullptr;
        while (PyDict_Next(data, &pos, &k, &v)) {
            if (!PyUnicode_CheckExact(k)) return false;
            if (PyUnicode_CompareWithASCIIString(k, "weight") == 0) w = v;
        }
        return true;
    }
    static bool same_keys(PyObject *d, const std::vector<py::object> &keys) {
        if (PyDict_GET_SIZE(d) != static_cast<Py_ssize_t>(keys.size())) return false;
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        std::size_t i = 0;
        while (PyDict_Next(d, &pos, &k, &v))
            if (k != keys[i++].ptr()) return false;
        return true;
    }
    [[noreturn]] static void changed(const char *fn, const char *what) {
        PyErr_Format(PyExc_RuntimeError, "%s: the graph changed during the call (%s)", fn, what);
        raise();
    }
    py::object graph_, node_dict_, adj_dict_;
};

// Row of a node in a node -> row dict built by the caller, or -1.
long row_of(const py::dict &index, py::handle node) {
    PyObject *i = dict_get(index, node);
    return i ? PyLong_AsLong(i) : -1;
}

// Key of the pair (i, j) in a set of edges of a k-node graph.
std::size_t pair_key(std::size_t i, std::size_t j, std::size_t k) { return i * k + j; }

py::object fragment_atom_softs_plain(py::handle H, py::handle chem_bonds, py::handle atom_set, py::handle tol,
                                     const py::set &frag_nodes) {
    py::object sub = H.attr("subgraph")(frag_nodes).attr("copy")();
    auto compute_lpi = [&]() { return lookup(F_compute_lpi)(sub, py::arg("tol") = tol); };
    auto sig = [](const py::object &lpi) { return py::make_tuple(item(lpi, "n+"), item(lpi, "n0"), item(lpi, "n-")); };
    py::tuple base_sig = sig(compute_lpi());
    py::list softs;
    graph::EdgeTrials trials(sub);
    for (py::handle cb : py::iter(chem_bonds)) {
        if (!contains(atom_set, item(cb, "atom_u"))) continue;
        if (!contains(atom_set, item(cb, "atom_v"))) continue;
        py::object u = item(cb, "u_node"), v = item(cb, "v_node");
        py::object pert = trials.cut(u, v, compute_lpi);
        if (pert && compare(sig(pert), base_sig, Py_EQ)) softs.append(cb);
    }
    return softs;
}

// The module's own LPI on the fragment's subgraph of an nx.Graph, read
// straight into a matrix: one baseline and one count per trial cut.  A null
// object when the graph cannot be read directly, or when Python code run on
// the way rebound compute_lpi: the caller then takes the plain path.
py::object fragment_atom_softs_fast(py::handle H, py::handle chem_bonds, py::handle atom_set, double tol,
                                    const py::set &frag_nodes) {
    GraphSnapshot g;
    if (!g.capture(H)) return py::object();
    // The fragment's nodes in the graph's node order.
    py::dict pos;
    std::size_t k = 0;
    for (const py::object &node : g.nodes) {
        if (!contains(frag_nodes, node)) continue;
        if (dict_get(pos, node)) continue;  // a key equal to an earlier one keeps that one's row
        pos[node] = py::int_(k++);
    }
    // At its peak: the matrix and numpy_eigh's.
    graph::check_dense_size(k, 1 + graph::kEighMatrices);
    std::vector<double> a(k * k, 0.0);
    std::unordered_set<std::size_t> edges;
    for (const GraphSnapshot::Row &r : g.rows) {
        const long i = row_of(pos, r.key);
        if (i < 0) continue;
        for (const GraphSnapshot::Entry &e : r.entries) {
            const long j = row_of(pos, e.nbr);
            if (j < 0) continue;
            const double w = e.weight ? as_double(e.weight) : 1.0;
            if (static_cast<std::size_t>(i) >= k || static_cast<std::size_t>(j) >= k) continue;
            a[pair_key(i, j, k)] = w;
            edges.insert(pair_key(i, j, k));
        }
    }
    std::vector<std::pair<int, int>> trials;
    py::list candidates;
    for (py::handle cb : py::iter(chem_bonds)) {
        if (!contains(atom_set, item(cb, "atom_u"))) continue;
        if (!contains(atom_set, item(cb, "atom_v"))) continue;
        py::object u = item(cb, "u_node"), v = item(cb, "v_node");
        const long pu = row_of(pos, u);
        if (pu < 0) continue;
        const long pv = row_of(pos, v);
        if (pv < 0 || !edges.count(pair_key(pu, pv, k))) continue;
        trials.push_back({static_cast<int>(pu), static_cast<int>(pv)});
        candidates.append(cb);
    }
    g.verify("_fragment_atom_softs");
    if (!is_own(F_compute_lpi)) return py::object();
    std::vector<char> soft;
    {
        gil::Release release;
        soft = lpi::soft_trials(std::move(a), k, trials, tol, graph::exact_counts(tol), graph::numpy_eigh());
    }
    py::list softs;
    for (std::size_t t = 0; t < soft.size() && t < candidates.size(); ++t)
        if (soft[t]) softs.append(candidates[t]);
    return softs;
}

// ---------------------------------------------------------------------------
// Cascade.

// The C++ data of a cascade, when every input has the plain form the module's
// own functions produce; false sends the call down the plain path.
struct CascadeData {
    Molecule mol;
    NodeMatrix graph;
    std::vector<BondRecord> bonds;
    CascadeOptions opt;
};

// An int (or bool): hashes and compares as its value, with no Python code.
bool plain_int(py::handle h) { return PyLong_CheckExact(h.ptr()) || PyBool_Check(h.ptr()); }

// A number the cascade can compare in C++ exactly as Python compares it: a
// float, or an int (or bool) that a double holds exactly.  Anything else
// (a huge int, a subclass with its own comparisons) takes the plain path.
bool as_real(py::handle h, double &out) {
    if (PyFloat_CheckExact(h.ptr())) {
        out = PyFloat_AS_DOUBLE(h.ptr());
        return true;
    }
    if (plain_int(h)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
        if (v == -1 && PyErr_Occurred()) raise();
        constexpr long long kExact = 1LL << 53;
        if (overflow || v > kExact || v < -kExact) return false;
        out = static_cast<double>(v);
        return true;
    }
    return false;
}

bool read_molecule(py::handle mol, long long n, Molecule &m) {
    m.n_atoms = static_cast<std::size_t>(n);
    std::map<std::string, int> symbol_ids;
    long long total = 0;
    for (long long i = 0; i < n; ++i) {
        py::object atom = mol.attr("GetAtomWithIdx")(i);
        py::object nominal = atom_nominal(atom);
        int overflow = 0;
        long long v = PyLong_CheckExact(nominal.ptr()) ? PyLong_AsLongLongAndOverflow(nominal.ptr(), &overflow) : 0;
        // Masses whose sums might leave the exact range of a 64-bit int are
        // summed by Python on the plain path.
        if (!PyLong_CheckExact(nominal.ptr()) || overflow || v > (1LL << 40) || v < -(1LL << 40)) {
            PyErr_Clear();
            return false;
        }
        total += v < 0 ? -v : v;
        if (total > (1LL << 53)) return false;
        m.nominal.push_back(v);
        py::object sym = atom.attr("GetSymbol")();
        if (!PyUnicode_Check(sym.ptr())) return false;
        auto [it, added] = symbol_ids.insert({as_text(sym, "atom symbol"), static_cast<int>(m.symbols.size())});
        if (added) m.symbols.push_back(it->first);
        m.symbol.push_back(it->second);
        m.heavy.push_back(compare(atom.attr("GetAtomicNum")(), py::int_(1), Py_GT) ? 1 : 0);
        m.mass.push_back(as_double(atom.attr("GetMass")()));
    }
    for (auto [u, v] : bonds_of(mol)) {
        // A bond to an index outside the molecule joins nothing of any fragment.
        if (u < 0 || v < 0 || u >= n || v >= n) continue;
        m.bonds.push_back({u, v});
    }
    return true;
}

// The graph and the bond records as the cascade needs them; the graph is
// read into owned data first and checked to be unchanged at the end, since
// hashing its nodes and converting its weights can run Python code.
bool read_graph(py::handle H, py::handle atom_subgraphs, py::handle chem_bonds, long long n, CascadeData &d) {
    if (!graph::is_plain_graph(H)) return false;
    if (!PyList_CheckExact(chem_bonds.ptr()) && !PyTuple_CheckExact(chem_bonds.ptr())) return false;
    GraphSnapshot snap;
    if (!snap.capture(H)) return false;
    NodeMatrix &g = d.graph;
    const std::size_t k = snap.nodes.size();
    py::dict rows;
    for (std::size_t i = 0; i < k; ++i)
        if (!dict_get(rows, snap.nodes[i])) rows[snap.nodes[i]] = py::int_(i);
    g.n_nodes = k;
    for (long long a = 0; a < n; ++a) {
        py::object nodes = steal(PyObject_GetItem(atom_subgraphs.ptr(), py::int_(a).ptr()));
        std::vector<int> r;
        for (py::handle node : py::iter(nodes)) {
            const long row = row_of(rows, node);
            if (row >= 0) r.push_back(static_cast<int>(row));
        }
        g.atom_nodes.push_back(std::move(r));
    }
    // Held through the cascade, beside a fragment's matrix and numpy_eigh's.
    graph::check_dense_size(k, 2 + graph::kEighMatrices);
    g.adjacency.assign(k * k, 0.0);
    std::unordered_set<std::size_t> edges;
    for (const GraphSnapshot::Row &r : snap.rows) {
        const long i = row_of(rows, r.key);
        if (i < 0) continue;
        for (const GraphSnapshot::Entry &e : r.entries) {
            const long j = row_of(rows, e.nbr);
            if (j < 0) continue;
            const double w = e.weight ? as_double(e.weight) : 1.0;
            g.adjacency[pair_key(i, j, k)] = w;
            edges.insert(pair_key(i, j, k));
        }
    }
    py::list records = steal(PySequence_List(chem_bonds.ptr()));
    for (py::handle cb : records) {
        if (!PyDict_CheckExact(cb.ptr())) return false;
        BondRecord r;
        py::object au = item(cb, "atom_u");
        if (!plain_int(au)) return false;
        r.atom_u = static_cast<int>(node_of(au, n));
        if (r.atom_u >= 0) {
            py::object av = item(cb, "atom_v");
            if (!plain_int(av)) return false;
            r.atom_v = static_cast<int>(node_of(av, n));
        }
        if (r.atom_u >= 0 && r.atom_v >= 0) {
            py::object u = item(cb, "u_node"), v = item(cb, "v_node");
            const long ru = row_of(rows, u);
            const long rv = ru >= 0 ? row_of(rows, v) : -1;
            if (ru >= 0 && rv >= 0) {
                r.u = static_cast<int>(ru);
                r.v = static_cast<int>(rv);
                r.edge = edges.count(pair_key(ru, rv, k)) != 0;
            }
            if (!as_real(get_or(cb, "order", py::int_(1)), r.order)) return false;
        }
        d.bonds.push_back(r);
    }
    snap.verify("predict_fragments_recursive");
    return true;
}

py::dict peak_entry(py::handle formula_text, long generation) {
    py::dict e;
    e[interned("formula")] = formula_text;
    e[interned("generation")] = py::int_(generation);
    return e;
}

py::object cascade_plain(py::handle mol, py::handle H, py::handle atom_subgraphs, py::handle chem_bonds,
                         py::handle max_generations, py::handle min_mz, py::handle ring) {
    py::object n = mol.attr("GetNumAtoms")();
    py::object all_atoms = steal(PyFrozenSet_New(builtin("range")(n).ptr()));
    py::object m0 = lookup(F_nominal_mass)(mol, builtin("range")(n));
    py::dict peaks;
    peaks[m0] = peak_entry(lookup(F_fragment_formula)(mol, all_atoms), 0);
    py::set seen;
    if (PySet_Add(seen.ptr(), all_atoms.ptr()) < 0) raise();
    std::deque<std::pair<py::object, long>> queue;
    queue.push_back({all_atoms, 0});
    py::object sorted = builtin("sorted");
    while (!queue.empty()) {
        auto [atom_set, gen] = queue.front();
        queue.pop_front();
        if (compare(py::int_(gen), max_generations, Py_GE)) continue;
        py::object softs = lookup(F_fragment_atom_softs)(H, atom_subgraphs, chem_bonds, atom_set);
        py::object children = lookup(F_cut_atom_set)(mol, steal(PySet_New(atom_set.ptr())), softs, ring, min_mz);
        // Children are walked in the order of their sorted atom-index tuples,
        // so the formula kept for a mass reached twice in one step, and the
        // order of the peaks, do not depend on set iteration order.
        py::list kids = steal(PySequence_List(children.ptr()));
        py::list order;
        for (py::ssize_t i = 0; i < static_cast<py::ssize_t>(kids.size()); ++i)
            order.append(py::make_tuple(steal(PyList_AsTuple(sorted(kids[i]).ptr())), i));
        if (PyList_Sort(order.ptr()) < 0) raise();
        for (py::handle o : order) {
            py::object child = kids[py::reinterpret_borrow<py::tuple>(o)[1].cast<py::ssize_t>()];
            if (!truth(child) || compare(child, atom_set, Py_EQ)) continue;
            py::object mz = lookup(F_nominal_mass)(mol, child);
            if (contains(seen, child)) continue;
            if (PySet_Add(seen.ptr(), child.ptr()) < 0) raise();
            if (!contains(peaks, mz)) peaks[mz] = peak_entry(lookup(F_fragment_formula)(mol, child), gen + 1);
            queue.push_back({child, gen + 1});
        }
    }
    return peaks;
}

}  // namespace

// ---------------------------------------------------------------------------
// Module-level functions.

py::object fragment_formula(const Args &a) {
    py::handle mol = a[0];
    std::map<std::string, long long> counts;
    for (py::handle i : py::iter(a[1])) ++counts[as_text(mol.attr("GetAtomWithIdx")(i).attr("GetSymbol")(), "atom symbol")];
    return py::str(formula(counts));
}

py::object pair_label(const Args &a) {
    py::handle mol = a[0];
    py::object s = mol.attr("GetAtomWithIdx")(a[1]).attr("GetSymbol")();
    py::object t = mol.attr("GetAtomWithIdx")(a[2]).attr("GetSymbol")();
    return py::str("{}{}-{}{}").format(s, a[1], t, a[2]);
}

py::object nominal_atom_mass(const Args &a) { return memo_atom_mass(a[0]); }

py::object nominal_mass(const Args &a) {
    py::handle mol = a[0];
    const mol::MolInfo *info = molecule_as_read(mol);
    const auto n = info ? static_cast<Py_ssize_t>(info->mass.size()) : 0;
    IntSum s;
    for (py::handle i : py::iter(a[1])) {
        const Py_ssize_t k = info && PyLong_CheckExact(i.ptr()) ? PyLong_AsSsize_t(i.ptr()) : -1;
        if (k == -1 && PyErr_Occurred()) PyErr_Clear();
        if (k >= 0 && k < n)
            s.add(atom_nominal(info->isotope[k], info->atomic_num[k]));
        else
            s.add(atom_nominal(mol.attr("GetAtomWithIdx")(i)));
    }
    return s.result();
}

py::object predict_fragments(const Args &a) {
    py::handle mol = a[0], soft_bonds = a[1], ring = a[2], min_ring_mz = a[3];
    // The molecule as VIF read it serves while every function handed the
    // molecule below is the module's own.
    const mol::MolInfo *info = molecule_as_read(mol);
    if (info && !(is_own(F_fragment_formula) && is_own(F_nominal_mass) && is_own(F_pair_label)))
        info = nullptr;
    const long long n = info ? static_cast<long long>(info->symbol.size()) : atom_count(mol);
    std::vector<std::pair<int, int>> bond_pairs;
    if (info) {
        for (auto [u, v] : info->bonds) bond_pairs.push_back({static_cast<int>(u), static_cast<int>(v)});
    } else {
        bond_pairs = bonds_of(mol);
    }
    AtomGraph ag(static_cast<std::size_t>(n), bond_pairs);
    AtomTable t(mol, info);
    py::object round = builtin("round");

    // The two fragments of a cut, heavier (by nominal mass) first; equal
    // masses keep the order of their lowest atom index.
    auto frags_of = [&](const std::vector<int> &first, const std::vector<int> &second) {
        py::object out[2];
        const std::vector<int> *comps[2] = {&first, &second};
        for (int c = 0; c < 2; ++c) {
            std::vector<double> masses;
            for (int i : *comps[c]) masses.push_back(t.mass(i));
            py::object mass = py::float_(builtin_sum(masses));
            py::object mz = fragment_nominal(mol, t, *comps[c]);
            out[c] = py::make_tuple(fragment_formula_of(mol, t, *comps[c]), round(mass, 2), mz);
        }
        py::list frags;
        if (compare(out[0][py::int_(2)], out[1][py::int_(2)], Py_LT)) std::swap(out[0], out[1]);
        frags.append(out[0]);
        frags.append(out[1]);
        return frags;
    };
    auto record = [](py::handle label, bool split, const char *mode, py::handle frags) {
        py::dict r;
        r[interned("bond")] = label;
        r[interned("split")] = py::bool_(split);
        r[interned("mode")] = py::str(mode);
        r[interned("fragments")] = frags;
        return r;
    };

    py::list results;
    py::set seen_pairs;
    SoftCuts cuts(ag);
    std::vector<py::tuple> ring_pairs;  // the atom pair of each ring bond
    std::vector<int> first, second;
    for (py::handle s : py::iter(soft_bonds)) {
        py::tuple pair = sorted_pair(item(s, "atom_u"), item(s, "atom_v"));
        if (contains(seen_pairs, pair)) continue;
        if (PySet_Add(seen_pairs.ptr(), pair.ptr()) < 0) raise();
        const long long i = node_of(pair[0], n), j = node_of(pair[1], n);
        if (i < 0 || j < 0 || ag.edge(static_cast<int>(i), static_cast<int>(j)) < 0) continue;
        py::object label =
            py::str("{}{}-{}{}").format(item(s, "sym_u"), item(s, "atom_u"), item(s, "sym_v"), item(s, "atom_v"));
        auto multiple = [&] { return compare(item(s, "order"), py::int_(2), Py_GE); };
        auto heavy = [&](int x) { return t.heavy(x); };
        switch (cuts.cut(static_cast<int>(i), static_cast<int>(j), multiple, heavy, first, second)) {
            case SoftCuts::Single::split:
                results.append(record(label, true, "single", frags_of(first, second)));
                break;
            case SoftCuts::Single::ring_bond:
                results.append(record(label, false, "single", py::none()));
                ring_pairs.push_back(pair);
                break;
            default:
                break;
        }
    }

    if (truth(ring)) {
        py::set seen_double;
        for (std::size_t p = 0; p < ring_pairs.size(); ++p) {
            for (std::size_t q = p + 1; q < ring_pairs.size(); ++q) {
                if (!cuts.cut_pair(p, q, first, second)) continue;
                py::list frags = frags_of(first, second);
                py::object mz0 = frags[0][py::int_(2)], mz1 = frags[1][py::int_(2)];
                py::object lighter = compare(mz1, mz0, Py_LT) ? mz1 : mz0;
                if (compare(lighter, min_ring_mz, Py_LT)) continue;
                py::tuple mass_key = sorted_pair(mz0, mz1);
                if (contains(seen_double, mass_key)) continue;
                if (PySet_Add(seen_double.ptr(), mass_key.ptr()) < 0) raise();
                py::object pair_label_fn = lookup(F_pair_label);
                py::tuple p1 = ring_pairs[p], p2 = ring_pairs[q];
                py::object lbl = pair_label_fn(mol, p1[0], p1[1]) + py::str(" + ");
                lbl = lbl + pair_label_fn(mol, p2[0], p2[1]);
                results.append(record(lbl, true, "ring", frags));
            }
        }
    }
    return results;
}

py::object fragment_atom_softs(const Args &a) {
    py::handle H = a[0], atom_subgraphs = a[1], chem_bonds = a[2], atom_set = a[3], tol = a[4];
    py::set frag_nodes;
    for (py::handle atom : py::iter(atom_set)) {
        py::object nodes = steal(PyObject_GetItem(atom_subgraphs.ptr(), atom.ptr()));
        for (py::handle node : py::iter(nodes))
            if (PySet_Add(frag_nodes.ptr(), node.ptr()) < 0) raise();
    }
    // The module's own LPI on a plain graph, with a tolerance it can count
    // against directly, is computed here on the fragment's matrix.
    if (graph::is_plain_graph(H) && is_own(F_compute_lpi)) {
        const double tol_d = PyFloat_AsDouble(tol.ptr());
        if (tol_d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
        } else if (std::isfinite(tol_d) && tol_d >= 0.0 && is_own(F_compute_lpi)) {
            py::object softs = fragment_atom_softs_fast(H, chem_bonds, atom_set, tol_d, frag_nodes);
            if (softs) return softs;
        }
    }
    return fragment_atom_softs_plain(H, chem_bonds, atom_set, tol, frag_nodes);
}

py::object cut_atom_set(const Args &a) {
    py::handle mol = a[0], atom_set = a[1], softs = a[2], ring = a[3], min_mz = a[4];

    // The fragment's atom graph; int atoms are numbered in ascending order.
    std::vector<py::object> atoms;
    py::dict local;
    bool all_int = true;
    for (py::handle x : py::iter(atom_set)) {
        if (dict_get(local, x)) continue;
        local[x] = py::int_(atoms.size());
        atoms.push_back(py::reinterpret_borrow<py::object>(x));
        all_int = all_int && plain_int(x);
    }
    // Ints compare without running Python code, so the sort sees one
    // consistent order (a comparison of Python objects could change its
    // answers mid-sort, which std::stable_sort does not survive).
    if (all_int) {
        std::stable_sort(atoms.begin(), atoms.end(),
                         [](const py::object &p, const py::object &q) { return compare(p, q, Py_LT); });
        for (std::size_t i = 0; i < atoms.size(); ++i) local[atoms[i]] = py::int_(i);
    }
    auto local_of = [&](py::handle x) -> int {
        PyObject *i = dict_get(local, x);
        return i ? static_cast<int>(PyLong_AsSsize_t(i)) : -1;
    };
    std::vector<std::pair<int, int>> edges;
    for (py::handle b : mol::mol_items(mol, true)) {
        py::object u = b.attr("GetBeginAtomIdx")(), v = b.attr("GetEndAtomIdx")();
        if (contains(atom_set, u) && contains(atom_set, v)) edges.push_back({local_of(u), local_of(v)});
    }
    AtomGraph ag(atoms.size(), edges);

    // One pair per bonded atom pair, with the largest order of its units.
    py::dict pair_order;
    py::int_ one(1);
    for (py::handle s : py::iter(softs)) {
        if (!contains(atom_set, item(s, "atom_u")) || !contains(atom_set, item(s, "atom_v"))) continue;
        py::tuple pr = sorted_pair(item(s, "atom_u"), item(s, "atom_v"));
        PyObject *cur = dict_get(pair_order, pr);
        py::object current = cur ? py::reinterpret_borrow<py::object>(cur) : py::object(one);
        py::object order = get_or(s, "order", one);
        pair_order[pr] = compare(order, current, Py_GT) ? order : current;
    }
    std::vector<py::object> orders;
    std::vector<SoftPair> pairs;
    for (auto kv : pair_order) {
        py::tuple pr = py::reinterpret_borrow<py::tuple>(kv.first);
        pairs.push_back({local_of(pr[0]), local_of(pr[1]), orders.size()});
        orders.push_back(py::reinterpret_borrow<py::object>(kv.second));
    }

    std::unordered_map<int, int> heavy;
    std::unordered_map<int, double> mass;
    CutQueries q{
        [&](std::size_t id) { return compare(orders[id], py::int_(2), Py_GE); },
        [&](int x) {
            auto it = heavy.find(x);
            if (it == heavy.end()) {
                py::object num = mol.attr("GetAtomWithIdx")(atoms[x]).attr("GetAtomicNum")();
                it = heavy.insert({x, compare(num, py::int_(1), Py_GT) ? 1 : 0}).first;
            }
            return it->second != 0;
        },
        [&](int x) {
            auto it = mass.find(x);
            if (it == mass.end()) it = mass.insert({x, as_double(mol.attr("GetAtomWithIdx")(atoms[x]).attr("GetMass")())}).first;
            return it->second;
        },
        [&](double m) { return compare(py::float_(m), min_mz, Py_GE); },
    };
    py::set out;
    for (const auto &frag : cut_fragment(ag, pairs, truth(ring), q)) {
        py::list members;
        for (int x : frag) members.append(atoms[x]);
        py::object fs = steal(PyFrozenSet_New(members.ptr()));
        if (PySet_Add(out.ptr(), fs.ptr()) < 0) raise();
    }
    return out;
}

py::object predict_fragments_recursive(const Args &a) {
    py::handle mol = a[0], H = a[1], atom_subgraphs = a[2], chem_bonds = a[3];
    py::handle max_generations = a[4], min_mz = a[5], ring = a[6];
    auto own = [] {
        return is_own(F_compute_lpi) && is_own(F_fragment_atom_softs) && is_own(F_cut_atom_set) &&
               is_own(F_nominal_mass) && is_own(F_fragment_formula);
    };
    CascadeData d;
    if (!own() || !as_real(max_generations, d.opt.max_generations) || !as_real(min_mz, d.opt.min_mz))
        return cascade_plain(mol, H, atom_subgraphs, chem_bonds, max_generations, min_mz, ring);
    d.opt.ring = truth(ring);
    const long long n = atom_count(mol);
    if (!read_molecule(mol, n, d.mol))
        return cascade_plain(mol, H, atom_subgraphs, chem_bonds, max_generations, min_mz, ring);
    // With no generation to expand the graph is never read.
    if (!(0 >= d.opt.max_generations) && !read_graph(H, atom_subgraphs, chem_bonds, n, d))
        return cascade_plain(mol, H, atom_subgraphs, chem_bonds, max_generations, min_mz, ring);
    // Python code run while reading may have rebound one of the functions.
    if (!own()) return cascade_plain(mol, H, atom_subgraphs, chem_bonds, max_generations, min_mz, ring);
    std::vector<Peak> peaks;
    try {
        gil::Release release;
        d.opt.stop = [&release] { return release.interrupted(); };
        d.opt.threads = graph::usable_cores();
        if (blas::dsyevd()) d.opt.any_thread_decompose = graph::lapack_eigh();
        peaks = cascade(d.mol, d.graph, d.bonds, d.opt, graph::exact_counts(d.opt.tol), graph::numpy_eigh());
    } catch (const Interrupted &) {
        throw py::error_already_set();  // the signal handler's exception, set again with the lock
    }
    py::dict out;
    for (const Peak &p : peaks) out[py::int_(p.mz)] = peak_entry(py::str(p.formula), p.generation);
    return out;
}

py::object plot_mass_spectrum(const Args &a) {
    py::handle smiles = a[0], mol_mass = a[1], fragments = a[2];
    py::object ax = py::reinterpret_borrow<py::object>(a[3]);
    py::object M = builtin("int")(builtin("round")(mol_mass));

    // m/z -> label; the first label given to a mass wins, "M+" first of all.
    py::dict peaks;
    peaks[M] = py::str("M+");
    for (py::handle f : py::iter(fragments)) {
        if (!truth(item(f, "split"))) continue;
        for (py::handle entry : py::iter(item(f, "fragments"))) {
            py::object it = steal(PyObject_GetIter(entry.ptr()));
            py::object values[3];
            int got = 0;
            while (PyObject *v = PyIter_Next(it.ptr())) {
                if (got == 3) {
                    Py_DECREF(v);
                    throw py::value_error("too many values to unpack (expected 3)");
                }
                values[got++] = py::reinterpret_steal<py::object>(v);
            }
            if (PyErr_Occurred()) raise();
            if (got < 3) {
                PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 3, got %d)", got);
                raise();
            }
            if (!PyDict_SetDefault(peaks.ptr(), values[2].ptr(), values[0].ptr())) raise();
        }
    }

    if (ax.is_none()) {
        py::object plt = lookup("plt");
        plt.attr("figure")(py::arg("figsize") = py::make_tuple(11, 5.5));
        ax = plt.attr("gca")();
    }
    py::object margin = builtin("int")(M * py::float_(0.15));
    if (compare(py::int_(20), margin, Py_GT)) margin = py::int_(20);
    py::object x_max = M + margin;
    py::object close_thresh = x_max * py::float_(0.06);

    py::dict arrowprops;
    arrowprops["arrowstyle"] = "-";
    arrowprops["color"] = "gray";
    arrowprops["lw"] = 0.5;
    arrowprops["alpha"] = 0.6;
    py::object prev_mz = py::none();
    long level = 0;
    py::list items = builtin("sorted")(peaks.attr("items")());
    for (py::handle kv : items) {
        py::object mz = kv[py::int_(0)], label = kv[py::int_(1)];
        const bool is_M = compare(label, py::str("M+"), Py_EQ);
        const long bar_h = is_M ? 100 : 60;
        const char *color = is_M ? "crimson" : "steelblue";
        ax.attr("vlines")(mz, 0, bar_h, py::arg("color") = color, py::arg("linewidth") = is_M ? 2.2 : 1.6);
        if (!prev_mz.is_none() && compare(mz - prev_mz, close_thresh, Py_LT))
            ++level;
        else
            level = 0;
        const long label_y = bar_h + 3 + level * 11;
        ax.attr("annotate")(py::str("{}\n{}").format(label, mz), py::arg("xy") = py::make_tuple(mz, bar_h),
                            py::arg("xytext") = py::make_tuple(mz, label_y), py::arg("ha") = "center",
                            py::arg("va") = "bottom", py::arg("fontsize") = 8, py::arg("color") = color,
                            py::arg("arrowprops") = arrowprops);
        prev_mz = mz;
    }
    ax.attr("set_xlim")(0, x_max);
    ax.attr("set_ylim")(0, 150);
    ax.attr("set_xlabel")("m/z");
    ax.attr("set_ylabel")("(schematic \u2014 intensities are not predicted)");
    ax.attr("set_title")(py::str("Corvane predicted EI-MS fragments: ") + py::str(smiles));
    py::object spines = ax.attr("spines");
    spines[py::str("top")].attr("set_visible")(false);
    spines[py::str("right")].attr("set_visible")(false);
    return ax;
}

}  // namespace corvane::ms
