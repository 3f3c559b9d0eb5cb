// Mass-spectrum prediction on plain C++ data: formulas, atom graphs and their
// cuts, and the multi-generation fragmentation cascade.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "../vif/vif_core.hpp"

namespace corvane::ms {

// Element formula of symbol counts: "C" first, "H" second, then every other
// symbol in ascending code-point order (byte order of UTF-8 text); a count of
// one is written as the bare symbol.
std::string formula(const std::map<std::string, long long> &counts);

// The interpreter's sum() of a list of floats started from the int 0: the
// first term exactly, then Neumaier's compensated summation.
double builtin_sum(const std::vector<double> &terms);

// An undirected simple graph on the nodes 0..n-1: the atoms of a molecule or
// of a fragment and its bonds.  Repeated edges collapse into one; endpoints
// outside 0..n-1 are ignored.
class AtomGraph {
public:
    AtomGraph(std::size_t n, const std::vector<std::pair<int, int>> &edges);

    std::size_t size() const { return n_; }
    // Id of the edge u-v, or -1 when there is none.
    int edge(int u, int v) const;
    // Number of connected components of the intact graph.
    std::size_t components() const { return base_; }
    // Component label of every node with the edges `removed` taken out; the
    // components are numbered in the order of their smallest node (the order
    // in which networkx yields them for nodes added in ascending order).
    // Returns the number of components.
    std::size_t label(const std::vector<int> &removed, std::vector<int> &lab) const;
    // Whether cutting the edges `removed` splits a part off.  It does when the
    // cut raises the number of components by exactly one; the fragments are
    // then the two new components, the ones holding the ends of the cut bonds,
    // as ascending node lists, the one with the smaller lowest node first.
    // Other components (a counter-ion of a salt) belong to neither.
    bool split(const std::vector<int> &removed, std::vector<int> &first, std::vector<int> &second) const;

private:
    std::size_t n_;
    std::vector<std::pair<int, int>> edges_;
    std::vector<std::vector<std::pair<int, int>>> adj_;  // (neighbour, edge id)
    std::size_t base_ = 0;
};

// A bond of a fragment that its soft-bond test allows to cut, on the local
// nodes of the fragment's AtomGraph.  `id` is handed back to `multiple`.
struct SoftPair {
    int u, v;
    std::size_t id;
};

// Per-atom questions the cut rules ask, answered lazily by the caller.
struct CutQueries {
    std::function<bool(std::size_t)> multiple;  // soft pair id: bond order >= 2
    std::function<bool(int)> heavy;             // local node: atomic number > 1
    std::function<double(int)> mass;            // local node: atomic mass
    std::function<bool(double)> mass_ok;        // lighter ring part: mass >= threshold
};

// The fragments of one fragment: each soft pair cut on its own (a multiple
// bond is not cleaved when one side is a lone heavy atom), then, when `ring`,
// every two pairs whose single cuts split nothing cut together, kept when the
// lighter part's summed atomic mass passes `mass_ok`.  Ascending local-node
// lists, sorted and without repeats.
std::vector<std::vector<int>> cut_fragment(const AtomGraph &ag, const std::vector<SoftPair> &soft, bool ring,
                                           const CutQueries &q);

// LPI counts of a symmetric k x k matrix taken from its eigenvalues, for the
// rare matrix whose Sturm counts are not certain (an eigenvalue within
// rounding of a band edge).
using ExactCounts = std::function<vif::SignCounts(const std::vector<double> &a, std::size_t k)>;

// Whether zeroing the entries (u, v) and (v, u) of the symmetric k x k matrix
// `a` keeps its LPI counts, for each trial.  tol >= 0.  One decomposition of
// `a` serves the baseline and every trial.
std::vector<char> soft_trials(std::vector<double> a, std::size_t k, const std::vector<std::pair<int, int>> &trials,
                              double tol, const ExactCounts &exact, const vif::Decompose &decompose);

// Inputs of the cascade.
struct Molecule {
    std::size_t n_atoms = 0;
    std::vector<std::pair<int, int>> bonds;  // atom pairs, in bond order
    std::vector<std::string> symbols;        // distinct element symbols
    std::vector<int> symbol;                 // per atom: index into symbols
    std::vector<char> heavy;                 // per atom: atomic number > 1
    std::vector<double> mass;                // per atom: atomic mass
    std::vector<long long> nominal;          // per atom: nominal mass
};

struct VifGraph {
    std::size_t n_nodes = 0;
    std::vector<double> adjacency;             // n_nodes x n_nodes, row-major
    std::vector<std::vector<int>> atom_nodes;  // per atom: its graph rows
};

// One chemical-bond record.  atom_u/atom_v are -1 when the value names no
// atom of the molecule; u/v are -1 when the node is not in the graph.
struct BondRecord {
    int atom_u = -1, atom_v = -1;
    int u = -1, v = -1;
    bool edge = false;   // the graph has the edge u-v
    double order = 1.0;  // bond order (1 when the record has none)
};

struct CascadeOptions {
    double max_generations = 3;  // fragments of a generation >= this are not cut
    double min_mz = 25;          // ring parts need this much atomic mass
    bool ring = true;
    double tol = 1e-9;
};

struct Peak {
    long long mz;
    std::string formula;
    long generation;
};

// Breadth-first multi-generation fragmentation: peaks in insertion order,
// the molecule itself first.
std::vector<Peak> cascade(const Molecule &mol, const VifGraph &g, const std::vector<BondRecord> &bonds,
                          const CascadeOptions &opt, const ExactCounts &exact, const vif::Decompose &decompose);

}  // namespace corvane::ms
