// Python-facing side of the panels, the validation suite, the halogen test
// and the demo: they call the module's own functions through the module
// namespace, read the result records and draw with matplotlib/networkx.
#include <array>
#include <string>
#include <vector>

#include "../drawing/colors_core.hpp"
#include "../module/registry.hpp"
#include "suites_core.hpp"

namespace corvane::suites {
namespace {

// `obj` in a field of `width` characters: plain str is padded here, anything
// else formats itself with `fmt` (an int, say, aligns right by default).
std::string field(py::handle obj, std::size_t width, bool right, const char *fmt) {
    if (PyUnicode_CheckExact(obj.ptr())) return right ? rjust(utf8(obj), width) : ljust(utf8(obj), width);
    return formatted(obj, fmt);
}

bool is_unreadable(py::handle r) { return PyUnicode_Check(r.ptr()); }

// The driver answers an unreadable SMILES with a text instead of a record;
// a suite row cannot go on without the record.
void require_record(py::handle r, py::handle smiles) {
    if (is_unreadable(r)) {
        py::str msg = str_of(unreadable(utf8(r), repr_text(smiles)));
        PyErr_SetObject(PyExc_ValueError, msg.ptr());
        raise();
    }
}

py::dict color_dict(const drawing::ColorMap &m) {
    py::dict d;
    for (const auto &[sym, col] : m) d[py::str(sym)] = py::str(col);
    return d;
}

// The compact drawing of one VIF graph into a panel cell: coloured nodes
// without labels, essential edges thin and black, soft edges red and dashed.
void draw_structure(py::handle r, py::handle ax, const py::dict &colors, py::handle node_size) {
    py::object nx = lookup("nx");
    py::object H = item(r, "graph");
    py::object pos = item(r, "pos");
    py::object soft_set = steal(PySet_New(nullptr));
    for (py::handle s : item(r, "soft_bonds")) {
        py::tuple p = sorted_pair(item(s, "u_node"), item(s, "v_node"));
        if (PySet_Add(soft_set.ptr(), p.ptr()) < 0) raise();
    }
    py::list essential, soft;
    for (py::handle e : H.attr("edges")()) {
        auto [u, v] = unpack<2>(e);
        py::tuple p = sorted_pair(u, v);
        int in = PySet_Contains(soft_set.ptr(), p.ptr());
        if (in < 0) raise();
        (in ? soft : essential).append(py::make_tuple(u, v));
    }
    py::list node_colors;
    py::object nodes = H.attr("nodes");
    py::str gray(drawing::kUnknownColor);
    for (py::handle n : nodes) {
        py::object attrs = steal(PyObject_GetItem(nodes.ptr(), n.ptr()));
        py::object sym = item(attrs, "symbol");
        PyObject *c = PyDict_GetItemWithError(colors.ptr(), sym.ptr());
        if (!c && PyErr_Occurred()) raise();
        node_colors.append(c ? py::handle(c) : py::handle(gray));
    }
    nx.attr("draw_networkx_nodes")(H, pos, py::arg("node_color") = node_colors, py::arg("node_size") = node_size,
                                   py::arg("alpha") = 0.9, py::arg("ax") = ax);
    nx.attr("draw_networkx_edges")(H, pos, py::arg("edgelist") = essential, py::arg("edge_color") = "black",
                                   py::arg("width") = 0.8, py::arg("alpha") = 0.7, py::arg("ax") = ax);
    nx.attr("draw_networkx_edges")(H, pos, py::arg("edgelist") = soft, py::arg("edge_color") = "red",
                                   py::arg("width") = 1.3, py::arg("style") = "dashed", py::arg("alpha") = 0.9,
                                   py::arg("ax") = ax);
}

// A structure cell with the record's LPI in its title.
using CellTitle = std::string (*)(const std::string &, const std::string &, const std::string &, const std::string &);
void structure_cell(py::handle r, py::handle ax, const py::dict &colors, py::handle node_size, py::handle label,
                    CellTitle title, int fontsize) {
    draw_structure(r, ax, colors, node_size);
    py::object l = item(r, "lpi");
    std::string t = title(fstring_text(label), fstring_text(item(l, "n+")), fstring_text(item(l, "n0")),
                          fstring_text(item(l, "n-")));
    ax.attr("set_title")(str_of(t), py::arg("fontsize") = fontsize);
    ax.attr("set_aspect")("equal");
}

// rows = math.ceil(n / cols) and figsize = (cell_w * cols, cell_h * rows).
std::pair<py::object, py::tuple> grid(Py_ssize_t n, py::handle cols, double cell_w, double cell_h) {
    constexpr long long kExact = 1LL << 53;
    if (PyLong_CheckExact(cols.ptr())) {
        int overflow = 0;
        long long c = PyLong_AsLongLongAndOverflow(cols.ptr(), &overflow);
        if (c == -1 && PyErr_Occurred()) raise();
        if (!overflow && c != 0 && c < kExact && c > -kExact && n < kExact) {
            Grid g = panel_grid(n, c, cell_w, cell_h);
            return {py::int_(g.rows), py::make_tuple(g.width, g.height)};
        }
    }
    py::object q = steal(PyNumber_TrueDivide(py::int_(n).ptr(), cols.ptr()));
    py::object rows = lookup("math").attr("ceil")(q);
    py::object w = steal(PyNumber_Multiply(py::float_(cell_w).ptr(), cols.ptr()));
    py::object h = steal(PyNumber_Multiply(py::float_(cell_h).ptr(), rows.ptr()));
    return {rows, py::make_tuple(w, h)};
}

struct Panel {
    py::object fig;
    py::object axes;  // flat, row-major
    Py_ssize_t n;
};

Panel open_panel(py::handle molecules, py::handle cols, double cell_w, double cell_h) {
    Py_ssize_t n = PyObject_Size(molecules.ptr());
    if (n < 0) raise();
    auto [rows, figsize] = grid(n, cols, cell_w, cell_h);
    py::object plt = lookup("plt");
    auto [fig, axes] = unpack<2>(plt.attr("subplots")(rows, cols, py::arg("figsize") = figsize));
    py::object flat = lookup("np").attr("array")(axes).attr("reshape")(-1);
    return {fig, flat, n};
}

void close_panel(const Panel &p, py::handle save, const char *title, double title_y) {
    Py_ssize_t cells = PyObject_Size(p.axes.ptr());
    if (cells < 0) raise();
    for (Py_ssize_t j = p.n; j < cells; ++j) at(p.axes, j).attr("axis")("off");
    p.fig.attr("suptitle")(py::str(title), py::arg("fontsize") = 13, py::arg("y") = title_y);
    py::object plt = lookup("plt");
    plt.attr("tight_layout")();
    if (truth(save)) plt.attr("savefig")(save, py::arg("dpi") = 110, py::arg("bbox_inches") = "tight");
    plt.attr("show")();
}

bool by_name(py::handle by) {
    py::object eq = steal(PyObject_RichCompare(by.ptr(), py::str("name").ptr(), Py_EQ));
    return truth(eq);
}

// Runs `step` and reports whether it raised an ordinary exception (one
// derived from Exception); anything else (KeyboardInterrupt, SystemExit)
// goes on up.
template <class F>
bool failed(F &&step) {
    try {
        step();
        return false;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        return true;
    }
}

void grey_title(py::handle ax, const std::string &t) {
    ax.attr("set_title")(str_of(t), py::arg("fontsize") = 9, py::arg("color") = "gray");
}

// (formula, nominal mass) texts of a record's fragment tuples.
std::vector<std::pair<std::string, std::string>> fragment_texts(py::handle record) {
    std::vector<std::pair<std::string, std::string>> out;
    for (py::handle frg : item(record, "fragments"))
        out.emplace_back(fstring_text(at(frg, 0)), fstring_text(at(frg, 2)));
    return out;
}

bool names_halogen(py::handle label) {
    if (PyUnicode_CheckExact(label.ptr())) return is_cx_label(utf8(label));
    for (const char *x : {"Cl", "F", "Br"}) {
        int in = PySequence_Contains(label.ptr(), py::str(x).ptr());
        if (in < 0) raise();
        if (in) return true;
    }
    return false;
}

}  // namespace

py::object VIF_panel(const Args &a) {
    py::object molecules = py::reinterpret_borrow<py::object>(a[0]);
    if (molecules.is_none()) molecules = lookup("BIOMOLECULES");
    py::handle by = a[1], cols = a[2], save = a[3], node_size = a[4], bond_kappa = a[5];
    Panel p = open_panel(molecules, cols, kVifCellW, kVifCellH);
    py::dict colors = color_dict(drawing::element_colors());
    Py_ssize_t idx = 0;
    for (py::handle entry : molecules) {
        py::object ax = at(p.axes, idx++);
        ax.attr("axis")("off");
        py::object smi = py::reinterpret_borrow<py::object>(entry);
        if (by_name(by)) {
            if (failed([&] { smi = unpack<2>(lookup(F_fetch_smiles_from_pubchem)(entry))[0]; })) {
                grey_title(ax, vif_placeholder(fstring_text(entry), true));
                continue;
            }
        }
        py::object r;
        if (failed([&] {
                r = lookup(F_VIF)(smi, py::arg("draw") = false, py::arg("verbose") = false,
                                  py::arg("bond_kappa") = bond_kappa);
            }) ||
            is_unreadable(r)) {
            grey_title(ax, vif_placeholder(fstring_text(entry), false));
            continue;
        }
        structure_cell(r, ax, colors, node_size, entry, vif_cell_title, 9);
    }
    close_panel(p, save, kVifPanelTitle, 0.99);
    return p.fig;
}

py::object VIF_ms_panel(const Args &a) {
    py::object molecules = py::reinterpret_borrow<py::object>(a[0]);
    if (molecules.is_none()) molecules = lookup("BIOMOLECULES");
    py::handle by = a[1], cols = a[2], save = a[3], ring_fragmentation = a[4], recursive_ms = a[5];
    Panel p = open_panel(molecules, cols, kMsCellW, kMsCellH);
    Py_ssize_t idx = 0;
    for (py::handle entry : molecules) {
        py::object ax = at(p.axes, idx++);
        py::object smi = py::reinterpret_borrow<py::object>(entry);
        if (by_name(by)) {
            if (failed([&] { smi = unpack<2>(lookup(F_fetch_smiles_from_pubchem)(entry))[0]; })) {
                grey_title(ax, ms_placeholder(fstring_text(entry), true));
                ax.attr("axis")("off");
                continue;
            }
        }
        py::object r;
        if (failed([&] {
                r = lookup(F_VIF)(smi, py::arg("draw") = false, py::arg("verbose") = false,
                                  py::arg("ring_fragmentation") = ring_fragmentation,
                                  py::arg("recursive_ms") = recursive_ms);
            }) ||
            is_unreadable(r)) {
            grey_title(ax, ms_placeholder(fstring_text(entry), false));
            ax.attr("axis")("off");
            continue;
        }
        py::object mass = item(r, "mol_mass");
        py::object frags = item(r, "fragments");
        lookup(F_plot_mass_spectrum)(entry, mass, frags, py::arg("ax") = ax);
        ax.attr("title").attr("set_fontsize")(9);
    }
    close_panel(p, save, kMsPanelTitle, 1.0);
    return p.fig;
}

py::object validate(const Args &a) {
    const bool verbose = truth(a[0]);
    const std::string sep = validate_separator();
    bool all_passed = true;
    auto heading = [&](const auto &title) {
        if (!verbose) return;
        say(sep);
        say(title);
        say(sep);
    };

    heading(kLpiHeading);
    for (py::handle row : lookup("LPI_REFERENCES")) {
        auto [name, smi, expected] = unpack<3>(row);
        py::object r = lookup(F_VIF)(smi, py::arg("draw") = false, py::arg("verbose") = false);
        require_record(r, smi);
        py::object l = item(r, "lpi");
        py::tuple got = py::make_tuple(item(l, "n+"), item(l, "n0"), item(l, "n-"));
        bool ok = truth(steal(PyObject_RichCompare(got.ptr(), expected.ptr(), Py_EQ)));
        all_passed = all_passed && ok;
        if (verbose)
            say(lpi_row(ok, field(name, 12, false, "12s"), field(smi, 10, false, "10s"), fstring_text(expected),
                        fstring_text(got)));
    }

    heading(kMsHeading);
    for (py::handle row : lookup("MS_REFERENCES")) {
        auto [name, smi, expected_mz] = unpack<3>(row);
        py::object r = lookup(F_VIF)(smi, py::arg("draw") = false, py::arg("verbose") = false);
        require_record(r, smi);
        py::object peaks = steal(PySet_New(nullptr));
        for (py::handle f : item(r, "fragments")) {
            if (!truth(item(f, "split"))) continue;
            for (py::handle frg : item(f, "fragments")) {
                auto parts = unpack<3>(frg);
                if (PySet_Add(peaks.ptr(), parts[2].ptr()) < 0) raise();
            }
        }
        int in = PySet_Contains(peaks.ptr(), expected_mz.ptr());
        if (in < 0) raise();
        const bool ok = in != 0;
        all_passed = all_passed && ok;
        if (verbose) {
            py::object desc = builtin("sorted")(peaks, py::arg("reverse") = true);
            say(ms_row(ok, field(name, 14, false, "14s"), fstring_text(expected_mz), fstring_text(desc)));
        }
    }

    if (verbose) {
        say(sep);
        printer()(py::str(kResult), str_of(verdict(all_passed)));
        say(sep);
    }
    return py::bool_(all_passed);
}

py::object halogen_test(const Args &a) {
    py::object rows = py::reinterpret_borrow<py::object>(a[0]);
    if (rows.is_none()) rows = lookup("HALOGEN_TESTS");
    py::handle panel_n = a[1], save = a[2];
    py::dict colors = color_dict(drawing::halogen_colors());
    const std::string sep = halogen_separator();

    say(sep);
    say(kHalogenHeading);
    say(sep);
    py::list results;
    for (py::handle row : rows) {
        auto [name, smi, note] = unpack<3>(row);
        py::object r = lookup(F_VIF)(smi, py::arg("draw") = false, py::arg("verbose") = false,
                                     py::arg("show_spectrum") = false);
        require_record(r, smi);
        std::vector<CxRecord> cx;
        for (py::handle f : item(r, "fragments")) {
            if (!truth(item(f, "split"))) continue;
            py::object label = item(f, "bond");
            if (!names_halogen(label)) continue;
            cx.push_back({fstring_text(label), fragment_texts(f)});
        }
        py::object l = item(r, "lpi");
        py::tuple lpi = py::make_tuple(item(l, "n+"), item(l, "n0"), item(l, "n-"));
        say(halogen_row(field(name, 24, false, "24"), ljust(fstring_text(lpi), 12), cx_text(cx)));
        say(halogen_note(fstring_text(note)));
        results.append(py::make_tuple(name, smi, r));
    }

    py::object slice = steal(PySlice_New(nullptr, panel_n.ptr(), nullptr));
    py::object shown = steal(PyObject_GetItem(results.ptr(), slice.ptr()));
    const Py_ssize_t n = PyObject_Size(shown.ptr());
    if (n < 0) raise();
    py::object plt = lookup("plt");
    auto [fig, axes] = unpack<2>(plt.attr("subplots")(2, n, py::arg("figsize") = py::make_tuple(kHalogenColW * n, kHalogenFigH),
                                                      py::arg("squeeze") = false));
    py::object top = at(axes, 0);
    py::object bottom = at(axes, 1);
    py::int_ node_size(90);
    Py_ssize_t col = 0;
    for (py::handle entry : shown) {
        auto [name, smi, r] = unpack<3>(entry);
        py::object axg = at(top, col);
        axg.attr("axis")("off");
        structure_cell(r, axg, colors, node_size, name, halogen_cell_title, 11);
        py::object axb = at(bottom, col);
        py::object mass = item(r, "mol_mass");
        py::object frags = item(r, "fragments");
        lookup(F_plot_mass_spectrum)(name, mass, frags, py::arg("ax") = axb);
        axb.attr("title").attr("set_fontsize")(9);
        ++col;
    }
    fig.attr("suptitle")(py::str(kHalogenPanelTitle), py::arg("fontsize") = 14);
    plt.attr("tight_layout")();
    if (truth(save)) {
        plt.attr("savefig")(save, py::arg("dpi") = 120, py::arg("bbox_inches") = "tight");
        say(sep);
        say(panel_saved(fstring_text(save)));
    }
    plt.attr("show")();
    return results;
}

py::object triple_group_demo(const Args &a) {
    py::handle smiles = a[0], prefix = a[1];
    py::object r = lookup(F_VIF)(smiles, py::arg("draw") = true, py::arg("verbose") = false,
                                 py::arg("show_spectrum") = false);
    require_record(r, smiles);
    py::object plt = lookup("plt");
    const bool saving = truth(prefix);
    if (saving)
        plt.attr("savefig")(str_of(demo_path(fstring_text(prefix), true)), py::arg("dpi") = 140,
                            py::arg("bbox_inches") = "tight");
    py::object l = item(r, "lpi");
    say(demo_molecule(fstring_text(smiles)));
    py::object m = builtin("int")(builtin("round")(item(r, "mol_mass")));
    say(demo_mass(fstring_text(m), fstring_text(item(l, "n+")), fstring_text(item(l, "n0")),
                  fstring_text(item(l, "n-"))));
    say(kDemoFragments);
    for (py::handle f : item(r, "fragments")) {
        if (!truth(item(f, "split"))) continue;
        std::string label = field(item(f, "bond"), 10, true, ">10");
        say(demo_fragment(label, fragment_texts(f)));
    }
    py::object mass = item(r, "mol_mass");
    py::object frags = item(r, "fragments");
    lookup(F_plot_mass_spectrum)(smiles, mass, frags);
    if (saving) {
        plt.attr("savefig")(str_of(demo_path(fstring_text(prefix), false)), py::arg("dpi") = 140,
                            py::arg("bbox_inches") = "tight");
        say(demo_saved(fstring_text(prefix)));
    }
    plt.attr("show")();
    return r;
}

}  // namespace corvane::suites
