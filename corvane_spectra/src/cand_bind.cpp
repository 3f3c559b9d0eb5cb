// Binding of the candidate atom sets of the scored spectrum (cand_core).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "bond_core.hpp"
#include "cand_core.hpp"

namespace py = pybind11;

namespace corvane::spectra {

namespace {

using I64 = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
using U8 = py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast>;
using F64 = py::array_t<double, py::array::c_style | py::array::forcecast>;

template <typename T>
py::array_t<T> to_array(const std::vector<T> &v) {
    py::array_t<T> a(static_cast<py::ssize_t>(v.size()));
    std::copy(v.begin(), v.end(), a.mutable_data());
    return a;
}

py::tuple atom_sets(std::size_t n_atoms, const I64 &bond_u, const I64 &bond_v, const U8 &bond_in_ring,
                    const I64 &main_atoms, const I64 &ring_atoms, const I64 &ring_start) {
    const py::ssize_t nb = bond_u.size();
    if (bond_v.size() != nb || bond_in_ring.size() != nb)
        throw py::value_error("bond_u, bond_v and bond_in_ring need one entry per bond");
    if (ring_start.size() < 1) throw py::value_error("ring_start needs n_rings + 1 entries");
    const std::size_t n_rings = static_cast<std::size_t>(ring_start.size() - 1);
    if (ring_start.data()[n_rings] != ring_atoms.size())
        throw py::value_error("ring_start must end at the number of ring atoms");
    const AtomSetInput in{n_atoms,
                          bond_u.data(),
                          bond_v.data(),
                          bond_in_ring.data(),
                          static_cast<std::size_t>(nb),
                          main_atoms.data(),
                          static_cast<std::size_t>(main_atoms.size()),
                          ring_atoms.data(),
                          ring_start.data(),
                          n_rings};
    // The lock stays held: the inputs may be the caller's own arrays, which another
    // thread could write while they are read (a molecule takes microseconds).
    AtomSets sets;
    const std::string bad = enumerate_atom_sets(in, sets);
    if (!bad.empty()) throw py::value_error(bad);
    py::array_t<bool> S({static_cast<py::ssize_t>(sets.size()), static_cast<py::ssize_t>(n_atoms)});
    atom_set_matrix(sets, n_atoms, reinterpret_cast<std::uint8_t *>(S.mutable_data()));
    return py::make_tuple(S, to_array(sets.mode), to_array(sets.label_a), to_array(sets.label_b),
                          to_array(sets.generation), to_array(sets.bridges), to_array(sets.bridge_sets),
                          to_array(sets.ring_side_a), to_array(sets.ring_side_b));
}

py::array_t<bool> bool_array(const std::vector<std::uint8_t> &v, std::vector<py::ssize_t> shape) {
    py::array_t<bool> a(shape);
    std::copy(v.begin(), v.end(), reinterpret_cast<std::uint8_t *>(a.mutable_data()));
    return a;
}

py::tuple bond_graph_py(const std::vector<std::string> &symbols, const U8 &aromatic, const U8 &in_ring, const I64 &nh,
                        const I64 &charge, const I64 &main_atoms, const I64 &bond_u, const I64 &bond_v,
                        const F64 &bond_order, const U8 &bond_in_ring, const U8 &bond_soft, bool want_text) {
    const auto n = static_cast<py::ssize_t>(symbols.size());
    if (aromatic.size() != n || in_ring.size() != n || nh.size() != n || charge.size() != n)
        throw py::value_error("aromatic, in_ring, nh and charge need one entry per atom");
    const py::ssize_t nb = bond_u.size();
    if (bond_v.size() != nb || bond_order.size() != nb || bond_in_ring.size() != nb || bond_soft.size() != nb)
        throw py::value_error("bond_u, bond_v, bond_order, bond_in_ring and bond_soft need one entry per bond");
    const BondGraphInput in{symbols,         aromatic.data(),    in_ring.data(),     nh.data(),
                            charge.data(),   main_atoms.data(),  static_cast<std::size_t>(main_atoms.size()),
                            bond_u.data(),   bond_v.data(),      bond_order.data(),  bond_in_ring.data(),
                            bond_soft.data(), static_cast<std::size_t>(nb)};
    BondGraph g;
    const std::string bad = spectra::bond_graph(in, want_text, g);
    if (!bad.empty()) throw py::value_error(bad);
    py::array_t<double> props({py::ssize_t{2}, nb, static_cast<py::ssize_t>(kDirectedProps)});
    std::copy(g.props.begin(), g.props.end(), props.mutable_data());
    py::array_t<std::int64_t> crc({py::ssize_t{2}, nb, py::ssize_t{4}});
    std::copy(g.token_crc.begin(), g.token_crc.end(), crc.mutable_data());
    py::dict flags;
    flags["has_ortho"] = g.has_ortho;
    flags["ether_ester"] = g.ether_ester;
    flags["quaternary"] = g.quaternary;
    flags["alcohol_amine"] = g.alcohol_amine;
    flags["nitro"] = g.nitro;
    flags["carbonyl"] = g.carbonyl;
    flags["amine"] = g.amine;
    flags["benzylic_h"] = g.benzylic_h;
    flags["alpha_h"] = g.alpha_h;
    flags["alpha_h_only"] = g.alpha_h_only;
    flags["aryl_aldehyde"] = g.aryl_aldehyde;
    flags["ring_atoms"] = g.ring_atoms;
    flags["chain_carbons"] = g.chain_carbons;
    flags["silyl_ethers"] = g.silyl_ethers;
    py::object tokens = py::none(), mi_tokens = py::none();
    if (want_text) {
        tokens = py::cast(g.tokens);
        mi_tokens = py::cast(g.mi_tokens);
    }
    return py::make_tuple(props, bool_array(g.mclafferty, {2, nb}), bool_array(g.mclafferty_arom, {2, nb}),
                          bool_array(g.mclafferty_ester, {2, nb}), crc, to_array(g.mi_crc),
                          bool_array(g.ortho_carbonyl, {n}), flags, py::cast(g.aryl_methyls),
                          py::cast(g.halides), tokens, mi_tokens);
}

py::tuple shifted_candidates_py(const I64 &comp, const I64 &mass, const I64 &generation, const F64 &dbe,
                                const I64 &n_hetero, const F64 &aromatic_ring, const F64 &acylium,
                                const F64 &alpha_onium_site, const F64 &mcl, const F64 &mcl_alkene,
                                const F64 &mcl_aromatic, const F64 &mcl_ester, const U8 &aryl_methyl, const U8 &hx,
                                const U8 &ring_alpha, const U8 &ortho, const U8 &synthetic, const I64 &mol_comp,
                                const I64 &loss_keys, const I64 &loss_bits, const I64 &silanol, const I64 &el_cols,
                                std::size_t n_std, std::int64_t min_mz, bool aromatic, bool has_ortho,
                                bool multi_halogen, bool benzylic_h, bool alpha_h, bool alpha_h_only,
                                bool aryl_aldehyde) {
    if (comp.ndim() != 2) throw py::value_error("comp must be a sets x elements matrix");
    const py::ssize_t ns = comp.shape(0), nc = comp.shape(1);
    for (const py::ssize_t size : {mass.size(), generation.size(), dbe.size(), n_hetero.size(), aromatic_ring.size(),
                                   acylium.size(), alpha_onium_site.size(), mcl.size(), mcl_alkene.size(),
                                   mcl_aromatic.size(), mcl_ester.size(), aryl_methyl.size(), hx.size(),
                                   ring_alpha.size(), ortho.size(), synthetic.size()})
        if (size != ns) throw py::value_error("every per-set array needs one entry per row of comp");
    if (mol_comp.size() != nc) throw py::value_error("mol_comp needs one entry per column of comp");
    if (static_cast<py::ssize_t>(n_std) > nc || silanol.size() != static_cast<py::ssize_t>(n_std))
        throw py::value_error("n_std must not exceed the columns, and silanol needs n_std entries");
    if (loss_bits.size() != loss_keys.size()) throw py::value_error("loss_keys and loss_bits differ in length");
    if (el_cols.size() != 6) throw py::value_error("el_cols: the columns of C, H, N, O, S and Si");
    for (py::ssize_t j = 0; j < 6; ++j)
        if (el_cols.data()[j] < 0 || el_cols.data()[j] >= static_cast<std::int64_t>(n_std))
            throw py::value_error("el_cols must name standard-element columns");
    const std::int64_t *ec = el_cols.data();
    const ShiftInput in{static_cast<std::size_t>(ns), static_cast<std::size_t>(nc), n_std,
                        static_cast<std::size_t>(ec[1]), static_cast<std::size_t>(ec[0]),
                        static_cast<std::size_t>(ec[2]), static_cast<std::size_t>(ec[3]),
                        static_cast<std::size_t>(ec[4]), static_cast<std::size_t>(ec[5]),
                        comp.data(), mass.data(), generation.data(), dbe.data(), n_hetero.data(),
                        aromatic_ring.data(), acylium.data(), alpha_onium_site.data(), mcl.data(),
                        mcl_alkene.data(), mcl_aromatic.data(), mcl_ester.data(), aryl_methyl.data(), hx.data(),
                        ring_alpha.data(), ortho.data(), synthetic.data(), mol_comp.data(), loss_keys.data(),
                        loss_bits.data(), static_cast<std::size_t>(loss_keys.size()), silanol.data(),
                        aromatic, has_ortho, multi_halogen, benzylic_h, alpha_h, alpha_h_only, aryl_aldehyde, min_mz};
    // Written in place: a macrolide has tens of thousands of candidates.
    const auto n = static_cast<py::ssize_t>(count_shifted_candidates(in));
    py::array_t<std::int64_t> set(n), shift(n), mz(n), key(n), cc({n, nc});
    py::array_t<double> E({n, static_cast<py::ssize_t>(kShiftColumns)});
    spectra::shifted_candidates(in, Shifted{set.mutable_data(), shift.mutable_data(), mz.mutable_data(),
                                            cc.mutable_data(), E.mutable_data(), key.mutable_data()});
    return py::make_tuple(set, shift, mz, cc, E, key);
}

}  // namespace

void bind_candidates(py::module_ &m) {
    m.def("atom_sets", &atom_sets, py::arg("n_atoms"), py::arg("bond_u"), py::arg("bond_v"), py::arg("bond_in_ring"),
          py::arg("main_atoms"), py::arg("ring_atoms"), py::arg("ring_start"),
          "The candidate atom sets of a molecule's main component (see corvane_spectra.scored): "
          "(S, mode, label_a, label_b, generation, bridges, bridge_sets, ring_side_a, ring_side_b), "
          "S a sets x atoms bool matrix.");
    m.def("bond_graph", &bond_graph_py, py::arg("symbols"), py::arg("aromatic"), py::arg("in_ring"), py::arg("nh"),
          py::arg("charge"), py::arg("main_atoms"), py::arg("bond_u"), py::arg("bond_v"), py::arg("bond_order"),
          py::arg("bond_in_ring"), py::arg("bond_soft"), py::arg("want_text") = false,
          "What cutting each bond of a molecule's main component means (see corvane_spectra.scored): "
          "(props 2 x bonds x 19 in the columns of DIRECTED_PROPS, mclafferty, mclafferty_arom, "
          "mclafferty_ester (2 x bonds), token_crc 2 x bonds x 4, mi_crc, ortho_carbonyl (per atom), flags, aryl_methyls, halides, tokens, mi_tokens); "
          "the token texts only with want_text.");
    m.attr("DIRECTED_PROPS") = py::make_tuple(
        "centre_substitution", "centre_hetero", "centre_aromatic", "alpha_N", "alpha_O_S", "acylium",
        "centre_next_to_carbonyl", "benzylic", "allylic", "cut_double", "cut_triple", "cut_aromatic", "cut_C_N",
        "cut_C_O", "cut_C_S", "cut_C_halogen", "cut_hetero_hetero", "soft_cuts", "stevenson");
    m.def("shifted_candidates", &shifted_candidates_py, py::arg("comp"), py::arg("mass"), py::arg("generation"),
          py::arg("dbe"), py::arg("n_hetero"), py::arg("aromatic_ring"), py::arg("acylium"),
          py::arg("alpha_onium_site"), py::arg("mcl"), py::arg("mcl_alkene"), py::arg("mcl_aromatic"),
          py::arg("mcl_ester"), py::arg("aryl_methyl"), py::arg("hx"), py::arg("ring_alpha"), py::arg("ortho"),
          py::arg("synthetic"), py::arg("mol_comp"), py::arg("loss_keys"), py::arg("loss_bits"), py::arg("silanol"),
          py::arg("el_cols"), py::arg("n_std"), py::arg("min_mz"), py::arg("aromatic"), py::arg("has_ortho"),
          py::arg("multi_halogen"), py::arg("benzylic_h"), py::arg("alpha_h"), py::arg("alpha_h_only"),
          py::arg("aryl_aldehyde"),
          "Each atom set with 0, -1, -2, +1, +2 hydrogens, and the features that depend on the shift (see "
          "corvane_spectra.scored): (set, shift, mz, comp, E, neutral_key); E's columns are SHIFT_COLUMNS.");
    m.attr("SHIFT_COLUMNS") = py::make_tuple(
        "shift_minus1", "shift_minus2", "shift_plus1", "shift_plus2", "shift_plus_hetero", "shift_minus_aromatic",
        "mclafferty", "mclafferty_alkene", "loss_CH3", "loss_halogen", "loss_small_molecule", "loss_small_radical",
        "mclafferty_aromatic", "ion_alkyl", "ion_alkenyl", "ion_alkene_radical", "ion_odd_electron",
        "ion_even_aromatic", "ion_dienyl", "ion_aromatic_hc", "ion_iminium", "ion_oxonium", "ion_acyl",
        "ion_silyl_oxonium", "loss_silanol", "arom_alkyl", "arom_alkenyl", "arom_alkene_radical",
        "arom_odd_electron", "arom_shift_minus1", "arom_shift_plus1", "benzyl_type", "phenyl_cation", "aroyl",
        "alpha_onium", "ortho_loss", "halogen_loss_multi", "benzylic_h_loss", "alpha_h_loss", "aryl_methyl_loss",
        "onium_one_carbon", "mclafferty_ester", "acylium_shifted", "ortho_elimination", "ring_alpha_cleavage",
        "hx_elimination", "alpha_h_only", "aryl_aldehyde_h_loss");
}

}  // namespace corvane::spectra
