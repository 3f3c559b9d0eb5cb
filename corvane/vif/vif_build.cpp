#include "vif_build.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_map>

#include "../adapters/graph_matrix.hpp"
#include "../layout/layout_core.hpp"
#include "../module/registry.hpp"
#include "vif_core.hpp"

namespace corvane::vif {

const Names &names() {
    static const Names *n = new Names();
    return *n;
}

namespace {

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

// A molecule whose VIF graph could not be held as the soft-bond search holds
// it at its peak (the matrix and numpy_eigh's) is refused before the layout:
// every atom beyond hydrogen has at least four nodes.
void refuse_oversized(py::handle mol) {
    const long long n_all = as_index(mol.attr("GetNumAtoms")());
    const long long n_heavy = as_index(mol.attr("GetNumHeavyAtoms")());
    graph::check_dense_size(static_cast<std::size_t>(n_all - n_heavy + 4 * n_heavy), 1 + graph::kEighMatrices);
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
        raise();
    }
    return std::vector<double>(arr.data(), arr.data() + 2 * n_atoms);
}

// The layout of the molecule through the module-level compute_atom_layout:
// (x, y) per atom.
std::vector<double> lay_out(py::handle mol, py::handle n_iter, py::handle target_bond_len, std::size_t &n_atoms) {
    py::object layout = lookup(F_compute_atom_layout)(mol, py::arg("n_iter") = n_iter,
                                                      py::arg("target_bond_len") = target_bond_len);
    std::vector<py::object> pair = unpack(layout, 2);
    n_atoms = static_cast<std::size_t>(as_index(mol.attr("GetNumAtoms")()));
    return read_coords(pair[0], n_atoms);
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

// A bond order given by a rebound bond-order map, as an integer the graph
// can be built with.
long long order_value(py::handle o) {
    py::object i = steal(PyNumber_Index(o.ptr()));
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) raise();
    if (overflow || v > kMaxBondOrder || v < -kMaxBondOrder)
        raise(PyExc_ValueError, "bond order " + repr_text(i) + " is out of range (a bond has at most " +
                                    std::to_string(kMaxBondOrder) + " units)");
    return v;
}

// The molecule's atoms, neighbours and bonds with their orders, read from
// RDKit once, in the core's terms.
class Structure {
public:
    Structure(std::size_t n_atoms, py::object bond_orders)
        : n_atoms_(n_atoms), own_orders_(!bond_orders), bond_orders_(std::move(bond_orders)) {}

    std::vector<py::object> symbols, atom_ids;
    std::vector<std::vector<Neighbour>> atoms;
    std::vector<Bond> bonds;

    // From the molecule as already read.
    void read_from(const mol::MolInfo &info) {
        if (info.symbol.size() != n_atoms_) throw py::value_error("molecule atoms changed during the layout");
        symbols = info.symbol;
        for (std::size_t idx = 0; idx < n_atoms_; ++idx) {
            atom_ids.push_back(int_(static_cast<long long>(idx)));
            std::vector<Neighbour> nbs;
            for (long j : info.neighbours[idx]) nbs.push_back({j, 1});
            atoms.push_back(std::move(nbs));
        }
        for (std::size_t k = 0; k < info.bonds.size(); ++k) {
            const auto [u, v] = info.bonds[k];
            if (own_orders_)
                add_bond(py::handle(), py::handle(), u, v, info.bond_type[k]);
            else
                add_bond(int_(u), int_(v), u, v, 0.0);
        }
        neighbour_orders();
    }

    // Through the atom and bond accessors of any molecule object.
    void read_through_accessors(py::handle mol) {
        symbols.reserve(n_atoms_);
        atoms.reserve(n_atoms_);
        for (py::handle atom : mol::mol_items(mol, false)) {
            atom_ids.push_back(atom.attr("GetIdx")());
            symbols.push_back(atom.attr("GetSymbol")());
            std::vector<Neighbour> nbs;
            for (py::handle nb : atom.attr("GetNeighbors")()) {
                long long j = as_index(nb.attr("GetIdx")());
                if (j < 0 || static_cast<std::size_t>(j) >= n_atoms_)
                    throw py::index_error("neighbour atom out of range");
                nbs.push_back({static_cast<long>(j), 1});
            }
            atoms.push_back(std::move(nbs));
        }
        if (atoms.size() != n_atoms_) throw py::value_error("molecule atoms changed during the layout");
        for (py::handle b : mol::mol_items(mol, true)) {
            py::object ou = b.attr("GetBeginAtomIdx")(), ov = b.attr("GetEndAtomIdx")();
            const long long u = as_index(ou), v = as_index(ov);
            if (u < 0 || v < 0 || static_cast<std::size_t>(u) >= n_atoms_ || static_cast<std::size_t>(v) >= n_atoms_)
                throw py::index_error("bond atom index out of range");
            add_bond(ou, ov, static_cast<long>(u), static_cast<long>(v),
                     own_orders_ ? as_double(b.attr("GetBondTypeAsDouble")()) : 0.0);
        }
        neighbour_orders();
    }

private:
    unsigned long long pair_key(long u, long v) const {
        return static_cast<unsigned long long>(std::min(u, v)) * n_atoms_ +
               static_cast<unsigned long long>(std::max(u, v));
    }

    // The bond's order: the module's own rule on its RDKit type, or the
    // rebound build_bond_orders map.
    void add_bond(py::handle ou, py::handle ov, long u, long v, double type) {
        long long order;
        if (own_orders_) {
            if (std::isnan(type)) raise(PyExc_ValueError, "cannot convert float NaN to integer");
            if (std::isinf(type)) raise(PyExc_OverflowError, "cannot convert float infinity to integer");
            if (std::fabs(type) > static_cast<double>(kMaxBondOrder)) order_value(steal(PyLong_FromDouble(type)));
            order = bond_order_of(type);
            order_of_[pair_key(u, v)] = static_cast<long>(order);
        } else {
            order = order_value(bond_orders_[py::make_tuple(ou, ov)]);
        }
        bonds.push_back({u, v, order});
    }

    // The order of every (atom, neighbour) pair, 1 when the map has none.
    void neighbour_orders() {
        for (std::size_t idx = 0; idx < n_atoms_; ++idx) {
            for (auto &nb : atoms[idx]) {
                if (own_orders_) {
                    auto it = order_of_.find(pair_key(static_cast<long>(idx), nb.atom));
                    nb.order = it == order_of_.end() ? 1 : it->second;
                } else {
                    nb.order = order_value(
                        bond_orders_.attr("get")(py::make_tuple(atom_ids[idx], int_(nb.atom)), int_(1)));
                }
            }
        }
    }

    std::size_t n_atoms_;
    bool own_orders_;
    py::object bond_orders_;
    std::unordered_map<unsigned long long, long> order_of_;  // own bond orders by atom pair
};

// The layout helpers the core asks: the module's own in C++, rebound names
// through the interpreter.
GraphHooks graph_hooks(const std::vector<py::object> &symbols) {
    GraphHooks hooks;
    if (is_own(F_get_period)) {
        std::unordered_map<std::string, long> by_symbol;
        hooks.n_nodes = [&symbols, by_symbol](std::size_t atom) mutable {
            std::string s = str_text(symbols[atom]);
            auto it = by_symbol.find(s);
            if (it != by_symbol.end()) return it->second;
            long nn = nodes_for_period(lookup(F_get_period)(symbols[atom]));
            by_symbol.emplace(std::move(s), nn);
            return nn;
        };
    } else {
        hooks.n_nodes = [&symbols](std::size_t atom) { return nodes_for_period(lookup(F_get_period)(symbols[atom])); };
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
    return hooks;
}

bool is_centre(py::handle symbol) {
    return PyUnicode_Check(symbol.ptr()) && (PyUnicode_CompareWithASCIIString(symbol.ptr(), "C") == 0 ||
                                             PyUnicode_CompareWithASCIIString(symbol.ptr(), "Li") == 0);
}

// Writes the graph into a new networkx Graph: nodes with their attributes
// atom by atom, the σ cliques, then one edge per bond unit.
class GraphWriter {
public:
    GraphWriter(py::handle H, const VifGraph &g, const std::vector<py::object> &symbols, py::handle bond_kappa)
        : H_(H), g_(g), symbols_(symbols), bond_kappa_(bond_kappa), node_obj_(static_cast<std::size_t>(g.n_nodes)) {
        // Node ints, shared by the graph, the node lists and the records.
        for (long i = 0; i < g.n_nodes; ++i) node_obj_[static_cast<std::size_t>(i)] = int_(i);
    }

    py::handle node(long i) const {
        if (i < 0 || static_cast<std::size_t>(i) >= node_obj_.size()) throw std::out_of_range("VIF node out of range");
        return node_obj_[static_cast<std::size_t>(i)];
    }

    // On a plain nx.Graph: its dicts filled in the order add_nodes_from and
    // add_edge would fill them.
    void fill_dicts() {
        const Names &N = names();
        py::dict node_dict = H_.attr("_node"), adj = H_.attr("_adj");
        for (std::size_t idx = 0; idx < symbols_.size(); ++idx) {
            py::handle sym = symbols_[idx];
            PyObject *rol = is_centre(sym) ? N.merkez : N.uc;
            for (long i = 0; i < g_.count[idx]; ++i) {
                py::dict attrs;
                PyDict_SetItem(attrs.ptr(), N.symbol, sym.ptr());
                PyDict_SetItem(attrs.ptr(), N.rol, rol);
                PyDict_SetItem(attrs.ptr(), N.kind, i < g_.n_sigma[idx] ? N.sigma : N.pi);
                py::handle n = node(g_.first[idx] + i);
                adj[n] = py::dict();
                node_dict[n] = attrs;
            }
        }
        auto join = [&](long u, long v, PyObject *w) {
            py::dict data;
            if (PyDict_SetItem(data.ptr(), N.weight, w) < 0) raise();
            adj[node(u)][node(v)] = data;
            adj[node(v)][node(u)] = data;
        };
        for (const auto &[u, v] : g_.sigma_edges) join(u, v, N.one);
        for (const auto &unit : g_.units) join(unit.u_node, unit.v_node, bond_kappa_.ptr());
    }

    // On any other graph object: through its add_nodes_from and add_edge.
    void fill_through_methods() {
        const Names &N = names();
        py::object add_nodes_from = H_.attr("add_nodes_from"), add_edge = H_.attr("add_edge");
        std::size_t e = 0;
        for (std::size_t idx = 0; idx < symbols_.size(); ++idx) {
            py::handle sym = symbols_[idx];
            py::handle rol = is_centre(sym) ? N.merkez : N.uc;
            py::list sigma, pi;
            for (long i = 0; i < g_.count[idx]; ++i) (i < g_.n_sigma[idx] ? sigma : pi).append(node(g_.first[idx] + i));
            add_nodes_from(sigma, py::arg("symbol") = sym, py::arg("rol") = rol, py::arg("kind") = py::handle(N.sigma));
            add_nodes_from(pi, py::arg("symbol") = sym, py::arg("rol") = rol, py::arg("kind") = py::handle(N.pi));
            const long last = g_.first[idx] + g_.n_sigma[idx];
            for (; e < g_.sigma_edges.size() && g_.sigma_edges[e].first < last; ++e)
                add_edge(node(g_.sigma_edges[e].first), node(g_.sigma_edges[e].second),
                         py::arg("weight") = py::handle(N.one));
        }
        for (const auto &unit : g_.units)
            add_edge(node(unit.u_node), node(unit.v_node), py::arg("weight") = bond_kappa_);
    }

    // atom -> its node list, and node -> position for every placed node.
    void atom_records(const std::vector<py::object> &atom_ids, Built &out) const {
        for (std::size_t idx = 0; idx < symbols_.size(); ++idx) {
            py::list members;
            for (long i = 0; i < g_.count[idx]; ++i) members.append(node(g_.first[idx] + i));
            out.atom_subgraphs[atom_ids[idx]] = members;
        }
        for (long i = 0; i < g_.n_nodes; ++i) {
            const auto s = static_cast<std::size_t>(i);
            if (!g_.placed[s]) continue;
            py::array_t<double> p(2);
            p.mutable_data()[0] = g_.xy[2 * s];
            p.mutable_data()[1] = g_.xy[2 * s + 1];
            out.pos[node(i)] = p;
        }
    }

    // One chemical-bond record per bond unit.
    void bond_records(const std::vector<Bond> &bonds, py::list &chem_bonds) const {
        const Names &N = names();
        std::vector<py::object> order_obj(bonds.size());
        for (const auto &unit : g_.units) {
            const Bond &b = bonds[unit.bond];
            py::object &order = order_obj[unit.bond];
            if (!order) order = int_(b.order);
            py::dict rec;
            PyObject *r = rec.ptr();
            PyDict_SetItem(r, N.u_node, node(unit.u_node).ptr());
            PyDict_SetItem(r, N.v_node, node(unit.v_node).ptr());
            PyDict_SetItem(r, N.atom_u, int_(b.u).ptr());
            PyDict_SetItem(r, N.atom_v, int_(b.v).ptr());
            PyDict_SetItem(r, N.sym_u, symbols_[static_cast<std::size_t>(b.u)].ptr());
            PyDict_SetItem(r, N.sym_v, symbols_[static_cast<std::size_t>(b.v)].ptr());
            PyDict_SetItem(r, N.order, order.ptr());
            PyDict_SetItem(r, N.k, int_(unit.k).ptr());
            if (PyErr_Occurred()) raise();
            chem_bonds.append(rec);
        }
    }

private:
    py::handle H_;
    const VifGraph &g_;
    const std::vector<py::object> &symbols_;
    py::handle bond_kappa_;
    std::vector<py::object> node_obj_;
};

}  // namespace

std::optional<Built> build_vif_graph(py::handle smiles, py::handle n_iter, py::handle target_bond_len,
                                     py::handle radius_ratio, py::handle bond_kappa) {
    std::optional<py::object> prepared = prepare_molecule(smiles);
    if (!prepared) return std::nullopt;
    Built out;
    py::object mol = *prepared;
    out.mol = mol;
    refuse_oversized(mol);

    std::size_t n_atoms = 0;
    const std::vector<double> coords = lay_out(mol, n_iter, target_bond_len, n_atoms);
    py::object bond_orders;
    if (!is_own(F_build_bond_orders)) bond_orders = lookup(F_build_bond_orders)(mol);
    py::object H = lookup("nx").attr("Graph")();
    out.H = H;
    const double radius = as_double(steal(PyNumber_Multiply(target_bond_len.ptr(), radius_ratio.ptr())));

    Structure s(n_atoms, bond_orders);
    out.info = mol::read_mol_info(mol);
    if (out.info)
        s.read_from(*out.info);
    else
        s.read_through_accessors(mol);

    const GraphHooks hooks = graph_hooks(s.symbols);
    VifGraph g;
    try {
        g = vif::build_vif_graph(s.atoms, s.bonds, coords, radius, hooks);
    } catch (const MissingNodeAngle &m) {
        PyErr_SetObject(PyExc_KeyError, int_(m.node).ptr());
        raise();
    }

    GraphWriter w(H, g, s.symbols, bond_kappa);
    if (graph::is_plain_graph(H))
        w.fill_dicts();
    else
        w.fill_through_methods();
    w.atom_records(s.atom_ids, out);
    w.bond_records(s.bonds, out.chem_bonds);
    return out;
}

}  // namespace corvane::vif
