// Mass-spectrum prediction on plain C++ data: formulas, atom graphs and their
// cuts, and the multi-generation fragmentation cascade.
#pragma once

#include <algorithm>
#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "../lpi/lpi_core.hpp"

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
    // Marks in `is_bridge` (by edge id) every edge whose removal, together
    // with that of the edge `skip` (-1: none), splits a component: cutting
    // it splits a part off exactly when cutting it with `skip` would.  One
    // depth-first pass (Tarjan's low points).
    void bridges(int skip, std::vector<char> &is_bridge) const;

private:
    std::size_t n_;
    std::vector<std::pair<int, int>> edges_;
    std::vector<std::vector<std::pair<int, int>>> adj_;  // (neighbour, edge id)
    std::size_t base_ = 0;
};

// The cut rules, stated once.  A soft bond cut on its own either splits the
// atom graph into two parts or, inside a ring, splits nothing and becomes a
// ring bond; a multiple bond is not cleaved when one side would be a lone
// heavy atom (the oxygen of a carbonyl group).  Two ring bonds cut together
// may split the graph.
class SoftCuts {
public:
    explicit SoftCuts(const AtomGraph &ag) : ag_(ag) {}

    enum class Single { no_bond, kept, split, ring_bond };

    // Cuts the bond u-v on its own; on `split`, `a` and `b` hold the parts.
    // `multiple()` says whether the bond is a multiple bond and `heavy(x)`
    // whether node x is a heavy atom; each is asked only when the rule needs
    // it.  A ring bond is remembered for cut_pair.
    template <class Multiple, class Heavy>
    Single cut(int u, int v, Multiple &&multiple, Heavy &&heavy, std::vector<int> &a, std::vector<int> &b) {
        const int id = ag_.edge(u, v);
        if (id < 0) return Single::no_bond;
        if (!ag_.split({id}, a, b)) {
            ring_.push_back(id);
            return Single::ring_bond;
        }
        if (multiple()) {
            auto n_heavy = [&](const std::vector<int> &part) {
                long n = 0;
                for (int x : part) n += heavy(x) ? 1 : 0;
                return n;
            };
            const long ha = n_heavy(a), hb = n_heavy(b);
            if (std::min(ha, hb) == 1) return Single::kept;
        }
        return Single::split;
    }

    // Number of ring bonds met so far.
    std::size_t ring_bonds() const { return ring_.size(); }

    // Whether cutting ring bonds p and q together splits the graph; the
    // parts then go to `a` and `b`.
    bool cut_pair(std::size_t p, std::size_t q, std::vector<int> &a, std::vector<int> &b) const {
        return ag_.split({ring_[p], ring_[q]}, a, b);
    }

private:
    const AtomGraph &ag_;
    std::vector<int> ring_;
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

// The fragments of one fragment: each soft pair cut on its own, then, when
// `ring`, every two ring bonds cut together, kept when the lighter part's
// summed atomic mass passes `mass_ok`.  Ascending local-node lists, sorted
// and without repeats.
std::vector<std::vector<int>> cut_fragment(const AtomGraph &ag, const std::vector<SoftPair> &soft, bool ring,
                                           const CutQueries &q);

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

// The VIF graph of the molecule as a dense weighted adjacency matrix, with
// the rows of each atom's nodes.
struct NodeMatrix {
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
    // Asked before each fragment, on the calling thread only; true ends the
    // cascade with Interrupted.  An empty one never stops.
    std::function<bool()> stop;
    // Threads for the sign counts of a generation's fragments (the calling
    // one included).  `exact` and `decompose` run on the calling thread
    // only.
    std::size_t threads = 1;
    // A decomposition that may run on any thread (without the interpreter
    // lock): with it the threads also count what the factorisations leave
    // uncertain.  `decompose` then only sees what this leaves.
    lpi::Decompose any_thread_decompose;
};

// Thrown by the cascade when its `stop` callback asks it to end early.
using Interrupted = lpi::Interrupted;

struct Peak {
    long long mz;
    std::string formula;
    long generation;
};

// Breadth-first multi-generation fragmentation: peaks in insertion order,
// the molecule itself first.
std::vector<Peak> cascade(const Molecule &mol, const NodeMatrix &g, const std::vector<BondRecord> &bonds,
                          const CascadeOptions &opt, const lpi::ExactCounts &exact, const lpi::Decompose &decompose);

}  // namespace corvane::ms
