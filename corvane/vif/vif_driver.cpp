// The VIF driver: builds a molecule's VIF graph, computes its LPI and soft
// bonds, predicts its fragments, prints the report, draws the graph and
// returns the result record.  It reaches the other subsystems only through
// the module-level names, as they are bound at call time.
#include <optional>
#include <string>

#include "../adapters/mol_reader.hpp"
#include "../drawing/colors_core.hpp"
#include "../module/registry.hpp"
#include "vif_build.hpp"

namespace corvane::vif {

namespace {

// The molecule's average and nominal masses.
struct Masses {
    py::object avg, nominal;
};

Masses molecular_masses(Built &b) {
    py::handle mol = b.mol;
    const Py_ssize_t n_atoms = static_cast<Py_ssize_t>(as_index(mol.attr("GetNumAtoms")()));
    py::list masses;
    if (b.info && static_cast<Py_ssize_t>(b.info->mass.size()) == n_atoms) {
        for (double m : b.info->mass) masses.append(py::float_(m));
    } else {
        b.info.reset();
        for (Py_ssize_t i = 0; i < n_atoms; ++i) masses.append(mol.attr("GetAtomWithIdx")(i).attr("GetMass")());
    }
    Masses out;
    out.avg = builtin("sum")(masses);
    py::object atoms_range = steal(PyObject_CallFunction(reinterpret_cast<PyObject *>(&PyRange_Type), "n", n_atoms));
    // The molecule as read while building serves the module's own functions
    // until code from outside the module has been handed it.
    if (is_own(F_nominal_mass)) {
        mol::MolInfoHint hint(mol, b.info ? &*b.info : nullptr);
        out.nominal = lookup(F_nominal_mass)(mol, atoms_range);
    } else {
        b.info.reset();
        out.nominal = lookup(F_nominal_mass)(mol, atoms_range);
    }
    return out;
}

void report_header(py::handle smiles, const Masses &m, py::handle lpi) {
    py::object np = lookup("np");
    py::object pos = item(lpi, "n+"), zero = item(lpi, "n0"), neg = item(lpi, "n-");
    py::object total = steal(PyNumber_Add(steal(PyNumber_Add(pos.ptr(), zero.ptr())).ptr(), neg.ptr()));
    py::object ev = np.attr("round")(item(lpi, "eigenvalues"), 3).attr("tolist")();
    say("[VIF] " + str_text(smiles));
    say("      Molecular mass M = " + str_text(builtin("format")(m.avg, ".2f")) + " g/mol (avg)  (M+ peak m/z = " +
        str_text(m.nominal) + " nominal)");
    say("      LPI = {n+=" + str_text(pos) + ", n0=" + str_text(zero) + ", n-=" + str_text(neg) + "}  (" +
        str_text(total) + " orbitals total)");
    say("      Eigenvalues: " + str_text(ev));
}

// The soft bonds' node pairs as (min, max) tuples.
py::set soft_edges(py::handle softs) {
    py::set out;
    py::object pymin = builtin("min"), pymax = builtin("max");
    for (py::handle s : softs) {
        py::object u = item(s, "u_node"), v = item(s, "v_node");
        out.add(py::make_tuple(pymin(u, v), pymax(u, v)));
    }
    return out;
}

// The prediction records by kind: single cuts that split, ring double cuts,
// and soft ring bonds that split nothing on their own.
struct Split {
    py::list single, ringcut, ring_bonds;
};

Split split_fragments(py::handle fragments) {
    Split s;
    for (py::handle f : fragments)
        if (truth(item(f, "split")) && equal(item(f, "mode"), interned("single"))) s.single.append(f);
    for (py::handle f : fragments)
        if (truth(item(f, "split")) && equal(item(f, "mode"), interned("ring"))) s.ringcut.append(f);
    for (py::handle f : fragments)
        if (!truth(item(f, "split"))) s.ring_bonds.append(f);
    return s;
}

// "formula (m/z=mz)" for each fragment tuple of a prediction record, joined
// with "  +  ".
std::string fragment_text(py::handle record) {
    std::string out;
    bool first = true;
    for (py::handle entry : item(record, "fragments")) {
        std::vector<py::object> f = unpack(entry, 3);
        if (!first) out += "  +  ";
        first = false;
        out += str_text(f[0]) + " (m/z=" + str_text(f[2]) + ")";
    }
    return out;
}

// The nominal m/z of every fragment tuple of a prediction record.
void add_peaks(py::handle record, py::set &peaks) {
    for (py::handle entry : item(record, "fragments")) {
        std::vector<py::object> f = unpack(entry, 3);
        peaks.add(f[2]);
    }
}

void report_fragments(py::handle softs, const Split &s, py::handle recursive_peaks, py::handle max_generations) {
    if (truth(softs)) {
        say("      Soft bonds: " + str_text(int_(py::len(softs))) + "  (" + str_text(int_(py::len(s.single))) +
            " single-cut fragment(s) + " + str_text(int_(py::len(s.ring_bonds))) + " ring bond(s))");
    } else {
        say("      Soft bonds: none (all bonds essential \xe2\x86\x92 stable M+ dominates)");
    }
    py::set mz_peaks;
    if (truth(s.single)) {
        say("      Single-cut MS fragments (m/z):");
        for (py::handle f : s.single) {
            say("        if " + str_text(item(f, "bond")) + " cleaves:  " + fragment_text(f));
            add_peaks(f, mz_peaks);
        }
    }
    if (truth(s.ringcut)) {
        say("      Ring double-cut fragments (" + str_text(int_(py::len(s.ringcut))) +
            " possible cleavages \xe2\x80\x94 not all may be observed):");
        for (py::handle f : s.ringcut) {
            say("        " + str_text(item(f, "bond")) + ":  " + fragment_text(f));
            add_peaks(f, mz_peaks);
        }
    }
    if (truth(mz_peaks)) {
        say("      Expected peak m/z list: " + str_text(builtin("sorted")(mz_peaks, py::arg("reverse") = true)));
    } else if (!truth(s.single)) {
        say("      No real fragments \xe2\x86\x92 M+ dominates, single peak");
    }
    if (truth(recursive_peaks)) {
        say("      Multi-generation MS (" + str_text(max_generations) + " generations, " +
            str_text(int_(py::len(recursive_peaks))) + " peaks):");
        say("        m/z list: " + str_text(builtin("sorted")(recursive_peaks, py::arg("reverse") = true)));
    }
}

void draw_graph(py::handle smiles, const Built &b, py::handle lpi, py::handle softs, py::handle soft_edge_set,
                py::handle mol_mass, py::handle fragments, py::handle show_spectrum) {
    py::object plt = lookup("plt"), nx = lookup("nx");
    plt.attr("figure")(py::arg("figsize") = py::make_tuple(12, 10));
    py::dict color_map;
    for (const auto &[sym, col] : drawing::element_colors()) color_map[py::str(sym)] = py::str(col);
    py::object gray = py::str(drawing::kUnknownColor);
    py::handle H = b.H;
    py::list node_colors;
    py::dict labels;
    py::object nodes_view = H.attr("nodes");
    for (py::handle n : H.attr("nodes")()) {
        py::object sym = item(nodes_view[n], "symbol");
        node_colors.append(color_map.attr("get")(sym, gray));
        labels[n] = py::str(str_text(sym) + str_text(n));
    }
    py::list essential, soft;
    py::object pymin = builtin("min"), pymax = builtin("max");
    for (py::handle e : H.attr("edges")()) {
        std::vector<py::object> uv = unpack(e, 2);
        py::tuple key = py::make_tuple(pymin(uv[0], uv[1]), pymax(uv[0], uv[1]));
        (contains(soft_edge_set, key) ? soft : essential).append(py::make_tuple(uv[0], uv[1]));
    }
    nx.attr("draw_networkx_nodes")(H, b.pos, py::arg("node_color") = node_colors, py::arg("node_size") = 800,
                                   py::arg("alpha") = 0.9);
    nx.attr("draw_networkx_labels")(H, b.pos, py::arg("labels") = labels, py::arg("font_size") = 8);
    nx.attr("draw_networkx_edges")(H, b.pos, py::arg("edgelist") = essential, py::arg("edge_color") = "black",
                                   py::arg("width") = 1.5, py::arg("alpha") = 0.9);
    nx.attr("draw_networkx_edges")(H, b.pos, py::arg("edgelist") = soft, py::arg("edge_color") = "red",
                                   py::arg("width") = 2.0, py::arg("style") = "dashed", py::arg("alpha") = 0.9);
    std::string soft_label = truth(softs) ? "soft: " + str_text(int_(py::len(softs))) + " bond" : "soft: yok";
    std::string title = "VIF: " + str_text(smiles) + "   |   LPI = {n+=" + str_text(item(lpi, "n+")) +
                        ", n0=" + str_text(item(lpi, "n0")) + ", n-=" + str_text(item(lpi, "n-")) + "}   |   " +
                        soft_label;
    plt.attr("title")(py::str(title));
    plt.attr("axis")("equal");
    if (truth(show_spectrum)) lookup(F_plot_mass_spectrum)(smiles, mol_mass, fragments);
    plt.attr("show")();
}

}  // namespace

py::object VIF(const Args &a) {
    py::handle smiles = a[0], n_iter = a[1], target_bond_len = a[2], radius_ratio = a[3], show_spectrum = a[4],
               bond_kappa = a[5], draw = a[6], verbose = a[7], ring_fragmentation = a[8], recursive_ms = a[9],
               max_generations = a[10];

    std::optional<Built> built = build_vif_graph(smiles, n_iter, target_bond_len, radius_ratio, bond_kappa);
    if (!built) return py::str("SMILES okunamad\xc4\xb1!");
    Built &b = *built;
    py::object mol = b.mol, H = b.H;

    py::object lpi = lookup(F_compute_lpi)(H);
    const Masses masses = molecular_masses(b);
    if (truth(verbose)) report_header(smiles, masses, lpi);

    py::object softs = lookup(F_detect_soft_bonds)(H, b.chem_bonds, lpi);
    py::set soft_edge_set = soft_edges(softs);
    py::object fragments;
    {
        // Records of the module's own soft-bond search are plain dicts: no
        // outside code runs while the fragments are predicted.
        const bool share = b.info && is_own(F_detect_soft_bonds) && is_own(F_predict_fragments);
        mol::MolInfoHint hint(mol, share ? &*b.info : nullptr);
        fragments = lookup(F_predict_fragments)(mol, softs, py::arg("ring_fragmentation") = ring_fragmentation);
    }
    if (!is_own(F_predict_fragments)) b.info.reset();
    const Split s = split_fragments(fragments);
    py::list real_frags = steal(PySequence_Concat(s.single.ptr(), s.ringcut.ptr()));
    py::object recursive_peaks = py::none();
    if (truth(recursive_ms))
        recursive_peaks = lookup(F_predict_fragments_recursive)(
            mol, H, b.atom_subgraphs, b.chem_bonds, py::arg("max_generations") = max_generations,
            py::arg("ring_fragmentation") = true);
    if (truth(verbose)) report_fragments(softs, s, recursive_peaks, max_generations);

    py::dict rec;
    rec["lpi"] = lpi;
    rec["soft_bonds"] = softs;
    rec["fragments"] = fragments;
    if (!truth(draw)) {
        rec["real_fragments"] = real_frags;
        rec["single_fragments"] = s.single;
        rec["ringcut_fragments"] = s.ringcut;
        rec["ring_soft_bonds"] = s.ring_bonds;
        rec["recursive_peaks"] = recursive_peaks;
    } else {
        draw_graph(smiles, b, lpi, softs, soft_edge_set, masses.nominal, fragments, show_spectrum);
    }
    rec["graph"] = H;
    rec["chem_bonds"] = b.chem_bonds;
    rec["atom_subgraphs"] = b.atom_subgraphs;
    rec["pos"] = b.pos;
    rec["mol_mass"] = masses.nominal;
    rec["mol_mass_avg"] = masses.avg;
    return rec;
}

}  // namespace corvane::vif
