// The atom sets that the scored spectrum's candidate ions are made of: the
// molecular ion, either side of one cut outside rings, either side of two
// cuts in one ring, and a side of one of those cut again outside rings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace corvane::spectra {

// The molecule's main component as bonds between atoms 0 .. n_atoms - 1.
// Bonds are read in order (the order decides which route names a set first);
// ring r has the atoms ring_atoms[ring_start[r] .. ring_start[r + 1]) in ring
// order, each joined to the next and the last to the first.
struct AtomSetInput {
    std::size_t n_atoms;
    const std::int64_t *bond_u;
    const std::int64_t *bond_v;
    const std::uint8_t *bond_in_ring;
    std::size_t n_bonds;
    const std::int64_t *main_atoms;  // the atoms of the molecular ion; the walk starts at the first
    std::size_t n_main;
    const std::int64_t *ring_atoms;
    const std::int64_t *ring_start;  // n_rings + 1 entries
    std::size_t n_rings;
};

enum SetMode : std::int8_t { kMolecularIon = 0, kSingle = 1, kRing = 2, kRecursive = 3 };

// Every distinct atom set, in the order first met: the molecular ion; for each
// bond outside rings (a bridge) its u side and v side; for each ring and each
// pair i < j of its bonds (bond i joins ring atoms i and i + 1) the arc
// i + 1 .. j and the rest, when the two parts do not touch; then each of those
// first-generation sides (the bridges' u and v sides in bond order, then the
// ring sides in order, repeats included) intersected with each side of each
// bridge, when the intersection is neither empty nor the whole side.
struct AtomSets {
    std::size_t words = 0;              // 64-bit words per mask, bit a of a mask = atom a
    std::vector<std::uint64_t> masks;   // set i: words [i * words, (i + 1) * words)
    std::vector<std::int8_t> mode;      // SetMode
    // single: (bond, -1); ring: the two cut bonds; recursive: (first-generation side, bond);
    // molecular ion: (-1, -1).  First-generation side f is bridge f / 2's u (even f) or v
    // side, or ring side f - 2 * bridges.size().
    std::vector<std::int64_t> label_a, label_b;
    std::vector<std::int64_t> generation;
    std::vector<std::int64_t> bridges;      // the bonds outside rings, in bond order
    std::vector<std::int64_t> bridge_sets;  // per bridge: the set of its u side, then of its v side
    std::vector<std::int64_t> ring_side_a, ring_side_b;  // per ring side: its two cut bonds

    std::size_t size() const { return mode.size(); }
};

// Fills `out`; returns an empty string, or what is wrong with the input (an
// atom out of range, a ring whose neighbouring atoms share no bond).
std::string enumerate_atom_sets(const AtomSetInput &in, AtomSets &out);

// The sets as a sets.size() x n_atoms matrix of 0/1 bytes (row i: set i).
void atom_set_matrix(const AtomSets &sets, std::size_t n_atoms, std::uint8_t *out);

}  // namespace corvane::spectra
