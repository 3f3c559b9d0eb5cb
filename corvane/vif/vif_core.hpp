// VIF graph construction on plain C++ data.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

namespace corvane::vif {

// ---------------------------------------------------------------------------
// VIF graph construction

// Integer order of a bond from its RDKit type as a double: the value rounded
// half to even when it is non-zero, else 1; never below 1.  `d` is finite.
long bond_order_of(double d);

// Bond orders beyond this (either sign) are refused: an order is a count of
// bond units, each of which becomes an edge.
constexpr long long kMaxBondOrder = 1LL << 20;

// One neighbour of an atom, in the molecule's neighbour order, with the
// order the bond-order map gives the pair (atom, neighbour) (1 when absent).
struct Neighbour {
    long atom;
    long long order;
};

// One chemical bond with the order the bond-order map gives (begin, end).
struct Bond {
    long u, v;
    long long order;
};

// Node angles of an atom come from a hook; an atom may get fewer angles than
// nodes (the extra nodes then have neither angle nor position).
struct GraphHooks {
    // Node count of an atom (1, 4 or 9), from its element's period.
    std::function<long(std::size_t atom)> n_nodes;
    // Angles of an atom's nodes from its bond-unit directions.
    std::function<std::vector<double>(long n_nodes, const std::vector<double> &targets)> node_angles;
    // Smaller angle between two directions.
    std::function<double(double, double)> angle_diff;
};

// Raised when a node without an angle has to be matched to a bond unit.
struct MissingNodeAngle {
    long node;
};

// One inter-atom edge: one unit k of a chemical bond.
struct BondUnit {
    long u_node, v_node;
    std::size_t bond;  // index into the bond list
    long long k;
};

struct VifGraph {
    long n_nodes = 0;                 // nodes are 0 .. n_nodes-1
    std::vector<long> first;          // per atom: its first node
    std::vector<long> count;          // per atom: number of nodes
    std::vector<long> n_sigma;        // per atom: σ nodes (the first ones of its block)
    std::vector<char> placed;         // per node: has an angle and a position
    std::vector<double> xy;           // per node: position (x, y)
    std::vector<std::pair<long, long>> sigma_edges;  // σ cliques, atom by atom
    std::vector<BondUnit> units;      // inter-atom edges, bond by bond, by unit
};

// Builds the VIF graph of a molecule: node blocks, node angles and
// positions, the assignment of bond units to nodes by angle, and one edge per
// bond unit.  `atoms[i]` lists the neighbours of atom i, `coords` holds (x, y)
// per atom, `radius` is the node circle radius.  Hook exceptions and
// MissingNodeAngle propagate.
VifGraph build_vif_graph(const std::vector<std::vector<Neighbour>> &atoms, const std::vector<Bond> &bonds,
                         const std::vector<double> &coords, double radius, const GraphHooks &hooks);

}  // namespace corvane::vif
