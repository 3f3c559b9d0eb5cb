// What cutting each bond of a molecule means for the ion that keeps the
// charge: the per-bond properties of the scored spectrum's candidates, seen
// from either end of the bond, the hashed environment tokens of the cut, and
// the molecule-wide flags of the textbook routes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace corvane::spectra {

// The molecule's main component: atoms 0 .. n - 1 (atoms outside it have no
// bonds here and nh 0), bonds in order with their order (1, 1.5 aromatic, 2, 3).
struct BondGraphInput {
    std::vector<std::string> symbol;  // per atom
    const std::uint8_t *aromatic;
    const std::uint8_t *in_ring;
    const std::int64_t *nh;           // hydrogens per atom
    const std::int64_t *charge;       // formal charge per atom
    const std::int64_t *main_atoms;
    std::size_t n_main;
    const std::int64_t *bond_u;
    const std::int64_t *bond_v;
    const double *bond_order;
    const std::uint8_t *bond_in_ring;
    const std::uint8_t *bond_soft;
    std::size_t n_bonds;
};

// Directed properties of a cut bond, centre c keeping the charge and partner
// p leaving, in this column order.
inline constexpr std::size_t kDirectedProps = 19;

struct BondGraph {
    // [side][bond][prop]: side 0 has bond_u as the centre, side 1 bond_v.
    std::vector<double> props;                  // 2 * n_bonds * kDirectedProps
    std::vector<std::uint8_t> mclafferty;       // 2 * n_bonds: acceptor a carbonyl-type double bond
    std::vector<std::uint8_t> mclafferty_arom;  // ... an aromatic ring
    std::vector<std::uint8_t> mclafferty_ester; // ... the carbonyl of an ester or acid
    std::vector<std::int64_t> token_crc;        // 2 * n_bonds * 4: CRC-32 of the cut's four tokens
    std::vector<std::string> tokens;            // their text, when asked for
    std::vector<std::int64_t> mi_crc;           // the molecular ion's tokens, sorted by text
    std::vector<std::string> mi_tokens;
    std::vector<std::uint8_t> ortho_carbonyl;   // per atom: ester/acid carbonyl with an H-bearing ortho group
    bool has_ortho = false;
    // Molecule-wide flags and counts.
    bool ether_ester = false, quaternary = false, alcohol_amine = false, nitro = false, carbonyl = false;
    bool amine = false, benzylic_h = false, alpha_h = false, alpha_h_only = false, aryl_aldehyde = false;
    std::int64_t ring_atoms = 0, chain_carbons = 0, silyl_ethers = 0;
    std::vector<std::int64_t> aryl_methyls;     // methyl carbons on an aromatic atom
    std::vector<std::int64_t> halides;          // Cl, Br, I on a saturated carbon with an H-bearing neighbour
};

// Fills `out`; returns an empty string or what is wrong with the input.
std::string bond_graph(const BondGraphInput &in, bool want_text, BondGraph &out);

// zlib's CRC-32 of a byte string.
std::uint32_t crc32(const std::string &s);

}  // namespace corvane::spectra

namespace corvane::spectra {

// The candidates of a molecule's atom sets: each set with 0, -1, -2, +1, +2 hydrogens
// (in that order), and the features that depend on the shift.
struct ShiftInput {
    std::size_t n_sets, n_cols, n_std;  // composition columns: n_std standard elements, then others
    std::size_t col_h, col_c, col_n, col_o, col_s, col_si;
    const std::int64_t *comp;           // n_sets x n_cols
    const std::int64_t *mass;           // nominal mass with labels, per set
    const std::int64_t *generation;
    const double *dbe;
    const std::int64_t *n_hetero;
    const double *aromatic_ring, *acylium, *alpha_onium_site;  // per set (the set's named features)
    const double *mcl, *mcl_alkene, *mcl_aromatic, *mcl_ester;
    const std::uint8_t *aryl_methyl, *hx, *ring_alpha, *ortho, *synthetic;  // per set
    const std::int64_t *mol_comp;       // n_cols
    const std::int64_t *loss_keys;      // sorted composition keys of the small neutrals
    const std::int64_t *loss_bits;      // their group bits (bit j: group j)
    std::size_t n_loss;
    const std::int64_t *silanol;        // n_std
    bool aromatic, has_ortho, multi_halogen, benzylic_h, alpha_h, alpha_h_only, aryl_aldehyde;
    std::int64_t min_mz;
};

// Column of each shift feature in the output rows (the order of ShiftColumn).
enum ShiftColumn : int {
    kShiftMinus1, kShiftMinus2, kShiftPlus1, kShiftPlus2, kShiftPlusHetero, kShiftMinusAromatic, kMclafferty,
    kMclaffertyAlkene, kLossCH3, kLossHalogen, kLossSmallMolecule, kLossSmallRadical, kMclaffertyAromatic,
    kIonAlkyl, kIonAlkenyl, kIonAlkeneRadical, kIonOddElectron, kIonEvenAromatic, kIonDienyl, kIonAromaticHc,
    kIonIminium, kIonOxonium, kIonAcyl, kIonSilylOxonium, kLossSilanol, kAromAlkyl, kAromAlkenyl,
    kAromAlkeneRadical, kAromOddElectron, kAromShiftMinus1, kAromShiftPlus1, kBenzylType, kPhenylCation, kAroyl,
    kAlphaOnium, kOrthoLoss, kHalogenLossMulti, kBenzylicHLoss, kAlphaHLoss, kArylMethylLoss, kOniumOneCarbon,
    kMclaffertyEster, kAcyliumShifted, kOrthoElimination, kRingAlphaCleavage, kHxElimination, kAlphaHOnly,
    kArylAldehydeHLoss, kShiftColumns
};

// Where the candidates go, each array with room for count_shifted_candidates(in) rows.
struct Shifted {
    std::int64_t *set, *shift, *mz;
    std::int64_t *comp;         // n x n_cols
    double *features;           // n x kShiftColumns
    std::int64_t *neutral_key;  // composition key of the neutral lost (standard elements)
};

// Composition key of a row of counts: each count clipped to -1 .. 15, base 17.
std::int64_t composition_key(const std::int64_t *counts, std::size_t n);

// The number of candidates of the atom sets (each set's shifts that keep a hydrogen count of
// at least 0 and an m/z of at least min_mz; no hydrogen gained by the molecular ion, no shift of
// a synthetic set).
std::size_t count_shifted_candidates(const ShiftInput &in);
void shifted_candidates(const ShiftInput &in, const Shifted &out);

}  // namespace corvane::spectra
