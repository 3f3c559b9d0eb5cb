#include "ms_core.hpp"

#include "../lpi/inertia_core.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <cmath>
#include <deque>
#include <numeric>
#include <set>
#include <unordered_map>
#include <unordered_set>


namespace corvane::ms {

std::string formula(const std::map<std::string, long long> &counts) {
    std::string out;
    auto term = [&](const std::string &el, long long c) {
        out += el;
        if (c > 1) out += std::to_string(c);
    };
    for (const char *el : {"C", "H"}) {
        auto it = counts.find(el);
        if (it != counts.end() && it->second != 0) term(it->first, it->second);
    }
    // std::map orders std::string keys by bytes, which for UTF-8 is code-point
    // order.
    for (const auto &[el, c] : counts)
        if (el != "C" && el != "H" && c != 0) term(el, c);
    return out;
}

double builtin_sum(const std::vector<double> &terms) {
    if (terms.empty()) return 0.0;
    double f = 0.0 + terms[0];
    double c = 0.0;
    for (std::size_t i = 1; i < terms.size(); ++i) {
        const double x = terms[i];
        const double t = f + x;
        if (std::fabs(f) >= std::fabs(x))
            c += (f - t) + x;
        else
            c += (x - t) + f;
        f = t;
    }
    if (c != 0.0 && std::isfinite(c)) f += c;
    return f;
}

AtomGraph::AtomGraph(std::size_t n, const std::vector<std::pair<int, int>> &edges) : n_(n), adj_(n) {
    // A repeated edge keeps its first place: the pairs sorted with their
    // positions find the repeats without a node per edge.
    std::vector<std::pair<std::pair<int, int>, std::size_t>> keyed;
    keyed.reserve(edges.size());
    for (std::size_t k = 0; k < edges.size(); ++k) {
        auto [u, v] = edges[k];
        if (u < 0 || v < 0 || static_cast<std::size_t>(u) >= n || static_cast<std::size_t>(v) >= n) continue;
        keyed.push_back({{std::min(u, v), std::max(u, v)}, k});
    }
    std::sort(keyed.begin(), keyed.end());
    std::vector<char> repeat(edges.size(), 0);
    for (std::size_t k = 1; k < keyed.size(); ++k)
        if (keyed[k].first == keyed[k - 1].first) repeat[keyed[k].second] = 1;
    for (std::size_t k = 0; k < edges.size(); ++k) {
        auto [u, v] = edges[k];
        if (u < 0 || v < 0 || static_cast<std::size_t>(u) >= n || static_cast<std::size_t>(v) >= n) continue;
        if (repeat[k]) continue;
        const int id = static_cast<int>(edges_.size());
        edges_.push_back({u, v});
        adj_[u].push_back({v, id});
        if (u != v) adj_[v].push_back({u, id});
    }
    std::vector<int> lab;
    base_ = label({}, lab);
}

int AtomGraph::edge(int u, int v) const {
    if (u < 0 || v < 0 || static_cast<std::size_t>(u) >= n_ || static_cast<std::size_t>(v) >= n_) return -1;
    for (auto [w, id] : adj_[u])
        if (w == v) return id;
    return -1;
}

std::size_t AtomGraph::label(const std::vector<int> &removed, std::vector<int> &lab) const {
    lab.assign(n_, -1);
    std::vector<int> stack;
    int count = 0;
    for (std::size_t s = 0; s < n_; ++s) {
        if (lab[s] >= 0) continue;
        lab[s] = count;
        stack.push_back(static_cast<int>(s));
        while (!stack.empty()) {
            const int x = stack.back();
            stack.pop_back();
            for (auto [y, id] : adj_[x]) {
                if (lab[y] >= 0) continue;
                if (std::find(removed.begin(), removed.end(), id) != removed.end()) continue;
                lab[y] = count;
                stack.push_back(y);
            }
        }
        ++count;
    }
    return static_cast<std::size_t>(count);
}

bool AtomGraph::split(const std::vector<int> &removed, std::vector<int> &first, std::vector<int> &second) const {
    std::vector<int> lab;
    if (label(removed, lab) != base_ + 1) return false;
    // One component fell apart into two; every cut bond whose ends now lie
    // apart joins exactly those two.
    int a = -1, b = -1;
    for (int id : removed) {
        auto [u, v] = edges_[id];
        if (lab[u] != lab[v]) {
            a = std::min(lab[u], lab[v]);
            b = std::max(lab[u], lab[v]);
            break;
        }
    }
    if (a < 0) return false;
    first.clear();
    second.clear();
    for (std::size_t i = 0; i < n_; ++i) {
        if (lab[i] == a) first.push_back(static_cast<int>(i));
        else if (lab[i] == b) second.push_back(static_cast<int>(i));
    }
    return true;
}

void AtomGraph::bridges(int skip, std::vector<char> &is_bridge) const {
    is_bridge.assign(edges_.size(), 0);
    std::vector<int> disc(n_, -1), low(n_, 0), parent_edge(n_, -1), stack;
    std::vector<std::size_t> next(n_, 0);
    int time = 0;
    for (std::size_t s = 0; s < n_; ++s) {
        if (disc[s] >= 0) continue;
        disc[s] = low[s] = time++;
        stack.push_back(static_cast<int>(s));
        while (!stack.empty()) {
            const int x = stack.back();
            if (next[x] < adj_[x].size()) {
                auto [y, id] = adj_[x][next[x]++];
                if (id == skip || id == parent_edge[x]) continue;
                if (disc[y] < 0) {
                    disc[y] = low[y] = time++;
                    parent_edge[y] = id;
                    stack.push_back(y);
                } else {
                    low[x] = std::min(low[x], disc[y]);
                }
                continue;
            }
            stack.pop_back();
            if (parent_edge[x] < 0) continue;
            const int p = stack.back();
            low[p] = std::min(low[p], low[x]);
            if (low[x] > disc[p]) is_bridge[parent_edge[x]] = 1;
        }
    }
}

std::vector<std::vector<int>> cut_fragment(const AtomGraph &ag, const std::vector<SoftPair> &soft, bool ring,
                                           const CutQueries &q) {
    std::set<std::vector<int>> out;
    // The rules of SoftCuts, with the splits known beforehand: a bond cut
    // on its own splits a part off exactly when it is a bridge, and two
    // ring bonds cut together exactly when the second is a bridge of the
    // graph without the first.  Only cuts that split are labelled.
    std::vector<char> bridge;
    ag.bridges(-1, bridge);
    std::vector<int> ring_bonds;
    std::vector<int> a, b;
    for (const SoftPair &sp : soft) {
        const int id = ag.edge(sp.u, sp.v);
        if (id < 0) continue;
        if (!bridge[id]) {
            ring_bonds.push_back(id);
            continue;
        }
        if (!ag.split({id}, a, b)) continue;
        if (q.multiple(sp.id)) {
            auto n_heavy = [&](const std::vector<int> &part) {
                long n = 0;
                for (int x : part) n += q.heavy(x) ? 1 : 0;
                return n;
            };
            const long ha = n_heavy(a), hb = n_heavy(b);
            if (std::min(ha, hb) == 1) continue;
        }
        out.insert(a);
        out.insert(b);
    }
    if (ring && ring_bonds.size() >= 2) {
        auto mass_of = [&](const std::vector<int> &comp) {
            std::vector<double> m;
            m.reserve(comp.size());
            for (int x : comp) m.push_back(q.mass(x));
            return builtin_sum(m);
        };
        for (std::size_t i = 0; i + 1 < ring_bonds.size(); ++i) {
            ag.bridges(ring_bonds[i], bridge);
            for (std::size_t j = i + 1; j < ring_bonds.size(); ++j) {
                if (!bridge[ring_bonds[j]]) continue;
                if (!ag.split({ring_bonds[i], ring_bonds[j]}, a, b)) continue;
                const double ma = mass_of(a), mb = mass_of(b);
                const double lighter = mb < ma ? mb : ma;
                if (q.mass_ok(lighter)) {
                    out.insert(a);
                    out.insert(b);
                }
            }
        }
    }
    return {out.begin(), out.end()};
}

namespace {

struct VectorHash {
    std::size_t operator()(const std::vector<int> &v) const {
        std::size_t h = v.size();
        for (int x : v) h ^= static_cast<std::size_t>(x) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
        return h;
    }
};

}  // namespace

std::vector<Peak> cascade(const Molecule &mol, const NodeMatrix &g, const std::vector<BondRecord> &bonds,
                          const CascadeOptions &opt, const lpi::ExactCounts &exact, const lpi::Decompose &decompose) {
    const std::size_t n = mol.n_atoms;
    auto nominal_of = [&](const std::vector<int> &frag) {
        long long s = 0;
        for (int a : frag) s += mol.nominal[a];
        return s;
    };
    auto formula_of = [&](const std::vector<int> &frag) {
        std::vector<long long> c(mol.symbols.size(), 0);
        for (int a : frag) ++c[mol.symbol[a]];
        std::map<std::string, long long> counts;
        for (std::size_t s = 0; s < c.size(); ++s)
            if (c[s]) counts[mol.symbols[s]] = c[s];
        return formula(counts);
    };

    std::vector<int> all(n);
    std::iota(all.begin(), all.end(), 0);
    std::vector<Peak> peaks;
    std::unordered_set<long long> peak_mz;
    const long long m0 = nominal_of(all);
    peaks.push_back({m0, formula_of(all), 0});
    peak_mz.insert(m0);

    std::unordered_set<std::vector<int>, VectorHash> seen{all};
    std::deque<std::pair<std::vector<int>, long>> queue;
    queue.push_back({all, 0});

    // Generation by generation: the fragments of one generation are
    // independent, so their sign counts (pure C++, the bulk of the work) run
    // on the machine's cores; what needs a decomposition, the cuts and the
    // bookkeeping then follow one fragment at a time in queue order, which
    // keeps the peaks exactly in their breadth-first order.
    struct Work {
        std::vector<int> frag;
        long gen = 0;
        std::vector<double> sub;
        std::size_t k = 0;
        std::vector<std::pair<int, int>> trials;
        std::vector<std::size_t> trial_bond;
        lpi::PartialCounts counts;
        bool cut = false;  // children already known (every count was certain)
        std::vector<std::vector<int>> children;
    };
    // The fragment cut at its soft bonds: one pair per bonded atom pair, with
    // the largest order among its soft bond units.  Children as atom lists,
    // in the fixed walking order.  Pure C++ on read-only data, with the
    // caller's scratch arrays (all -1 / 0 between calls).
    auto cut_children = [&](const Work &w, const std::vector<char> &soft, std::vector<char> &in_frag,
                            std::vector<int> &local) {
        const std::vector<int> &frag = w.frag;
        for (std::size_t i = 0; i < frag.size(); ++i) {
            in_frag[frag[i]] = 1;
            local[frag[i]] = static_cast<int>(i);
        }
        std::vector<std::pair<int, int>> edges;
        for (auto [u, v] : mol.bonds)
            if (in_frag[u] && in_frag[v]) edges.push_back({local[u], local[v]});
        AtomGraph ag(frag.size(), edges);
        std::vector<std::pair<int, int>> pair_keys;
        std::vector<double> pair_order;
        std::map<std::pair<int, int>, std::size_t> pair_index;
        for (std::size_t t = 0; t < w.trials.size(); ++t) {
            if (!soft[t]) continue;
            const BondRecord &r = bonds[w.trial_bond[t]];
            const std::pair<int, int> pr{std::min(r.atom_u, r.atom_v), std::max(r.atom_u, r.atom_v)};
            auto [it, added] = pair_index.insert({pr, pair_keys.size()});
            if (added) {
                pair_keys.push_back(pr);
                pair_order.push_back(1.0);
            }
            double &cur = pair_order[it->second];
            if (r.order > cur) cur = r.order;
        }
        std::vector<SoftPair> pairs;
        for (std::size_t p = 0; p < pair_keys.size(); ++p)
            pairs.push_back({local[pair_keys[p].first], local[pair_keys[p].second], p});
        CutQueries q{
            [&](std::size_t id) { return pair_order[id] >= 2; },
            [&](int x) { return mol.heavy[frag[x]] != 0; },
            [&](int x) { return mol.mass[frag[x]]; },
            [&](double m) { return m >= opt.min_mz; },
        };
        std::vector<std::vector<int>> children = cut_fragment(ag, pairs, opt.ring, q);
        for (int a : frag) {
            in_frag[a] = 0;
            local[a] = -1;
        }
        // Local nodes follow ascending atom index, so mapping back keeps each
        // child ascending and the list in lexicographic order of the
        // children's sorted atom-index tuples: the fixed walking order.
        for (auto &child : children)
            for (int &x : child) x = frag[x];
        return children;
    };
    // The molecule's matrix by rows (ascending columns), read once: each
    // fragment's sparse form is taken from it without a dense pass.
    lpi::SparseRows whole;
    whole.n = g.n_nodes;
    whole.diag.assign(g.n_nodes, 0.0);
    whole.start.assign(g.n_nodes + 1, 0);
    for (std::size_t i = 0; i < g.n_nodes; ++i) {
        const double *row = &g.adjacency[i * g.n_nodes];
        for (std::size_t j = 0; j < g.n_nodes; ++j) {
            if (row[j] == 0.0) continue;
            if (j == i) {
                whole.diag[i] = row[j];
            } else {
                whole.col.push_back(static_cast<int>(j));
                whole.val.push_back(row[j]);
            }
        }
        whole.start[i + 1] = whole.col.size();
    }
    // Storage one counting thread keeps from fragment to fragment.
    struct Scratch {
        lpi::SparseRows rows;
        lpi::SparseSym m;
        lpi::InertiaWork w;
        std::vector<std::pair<std::size_t, std::size_t>> cuts;
    };
    auto dense_of = [&](Work &w, const std::vector<int> &rows) {
        const std::size_t k = rows.size();
        w.sub.assign(k * k, 0.0);
        for (std::size_t i = 0; i < k; ++i)
            for (std::size_t j = 0; j < k; ++j) w.sub[i * k + j] = g.adjacency[rows[i] * g.n_nodes + rows[j]];
    };
    auto prepare = [&](Work &w, std::vector<char> &in_frag, std::vector<int> &row_pos, std::vector<int> &local,
                       Scratch &sc) {
        for (int a : w.frag) in_frag[a] = 1;
        // Soft bonds of the fragment: its own VIF subgraph (a principal
        // submatrix of the molecule's) with its own LPI as the baseline.
        std::vector<int> rows;
        for (int a : w.frag) rows.insert(rows.end(), g.atom_nodes[a].begin(), g.atom_nodes[a].end());
        std::sort(rows.begin(), rows.end());
        rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
        const std::size_t k = rows.size();
        w.k = k;
        for (std::size_t i = 0; i < k; ++i) row_pos[rows[i]] = static_cast<int>(i);
        // The fragment's rows: local columns keep the ascending order.
        lpi::SparseRows &fr = sc.rows;
        fr.n = k;
        fr.diag.resize(k);
        fr.start.assign(k + 1, 0);
        fr.col.clear();
        fr.val.clear();
        for (std::size_t i = 0; i < k; ++i) {
            const std::size_t r = static_cast<std::size_t>(rows[i]);
            fr.diag[i] = whole.diag[r];
            for (std::size_t e = whole.start[r]; e < whole.start[r + 1]; ++e) {
                const int c = row_pos[static_cast<std::size_t>(whole.col[e])];
                if (c < 0) continue;
                fr.col.push_back(c);
                fr.val.push_back(whole.val[e]);
            }
            fr.start[i + 1] = fr.col.size();
        }
        for (std::size_t b = 0; b < bonds.size(); ++b) {
            const BondRecord &r = bonds[b];
            if (r.atom_u < 0 || !in_frag[r.atom_u] || r.atom_v < 0 || !in_frag[r.atom_v]) continue;
            if (!r.edge || row_pos[r.u] < 0 || row_pos[r.v] < 0) continue;
            w.trials.push_back({row_pos[r.u], row_pos[r.v]});
            w.trial_bond.push_back(b);
        }
        for (int r : rows) row_pos[r] = -1;
        for (int a : w.frag) in_frag[a] = 0;
        if (!w.trials.empty()) {
            sc.cuts.clear();
            for (auto [u, v] : w.trials) sc.cuts.push_back({static_cast<std::size_t>(u), static_cast<std::size_t>(v)});
            w.counts = lpi::partial_cut_counts_rows(fr, sc.cuts, opt.tol, sc.m, sc.w);
        }
        // Every count certain: the soft bonds are known here, and so are the
        // children (what soft_trials_end would find, without its fallbacks).
        bool certain = w.trials.empty() || w.counts.base.certain;
        for (const lpi::CheckedCounts &c : w.counts.trials) certain = certain && c.certain;
        if (!certain) {
            // The rest from the dense matrix.
            dense_of(w, rows);
            if (!opt.any_thread_decompose) return;
            lpi::soft_trials_decompose(w.sub, k, w.trials, opt.tol, opt.any_thread_decompose, w.counts);
            certain = w.counts.base.certain;
            for (const lpi::CheckedCounts &c : w.counts.trials) certain = certain && c.certain;
            if (!certain) return;
        }
        std::vector<char> soft(w.trials.size(), 0);
        for (std::size_t t = 0; t < w.trials.size(); ++t) soft[t] = w.counts.trials[t].counts == w.counts.base.counts;
        w.children = cut_children(w, soft, in_frag, local);
        w.cut = true;
    };

    std::vector<char> in_frag(n, 0);
    std::vector<int> local(n, -1);
    std::vector<int> row_pos(g.n_nodes, -1);
    const std::size_t workers = std::max<std::size_t>(1, std::min<std::size_t>(opt.threads, 64));
    while (!queue.empty()) {
        std::vector<Work> batch;
        for (auto &[frag, gen] : queue) {
            if (static_cast<double>(gen) >= opt.max_generations) continue;
            Work w;
            w.frag = std::move(frag);
            w.gen = gen;
            batch.push_back(std::move(w));
        }
        queue.clear();
        if (batch.empty()) break;

        // Counts of the batch: this thread and up to workers - 1 others take
        // fragments in turn.  This thread also asks `stop` between its own.
        std::atomic<std::size_t> next{0};
        std::atomic<bool> cancel{false};
        std::exception_ptr failed;
        std::mutex failed_mu;
        auto run = [&](bool main) {
            Scratch sc;
            std::vector<char> in_f(main ? 0 : n, 0);
            std::vector<int> rp(main ? 0 : g.n_nodes, -1), loc(main ? 0 : n, -1);
            std::vector<char> &inf = main ? in_frag : in_f;
            std::vector<int> &rpos = main ? row_pos : rp;
            std::vector<int> &lpos = main ? local : loc;
            try {
                for (std::size_t t; !cancel && (t = next++) < batch.size();) {
                    if (main && opt.stop && opt.stop()) {
                        cancel = true;
                        throw Interrupted();
                    }
                    prepare(batch[t], inf, rpos, lpos, sc);
                }
            } catch (...) {
                cancel = true;
                std::lock_guard<std::mutex> lock(failed_mu);
                if (!failed) failed = std::current_exception();
            }
        };
        std::vector<std::thread> pool;
        const std::size_t extra = std::min(workers, batch.size()) - 1;
        for (std::size_t i = 0; i < extra; ++i) {
            try {
                pool.emplace_back(run, false);
            } catch (const std::system_error &) {
                break;  // no more threads to be had: fewer helpers
            }
        }
        run(true);
        for (std::thread &t : pool) t.join();
        if (failed) std::rethrow_exception(failed);

        for (Work &w : batch) {
            const std::vector<int> &frag = w.frag;
            const long gen = w.gen;
            if (opt.stop && opt.stop()) throw Interrupted();
            if (!w.cut) {
                const std::vector<char> soft =
                    lpi::soft_trials_end(w.sub, w.k, w.trials, opt.tol, exact, decompose, w.counts);
                w.children = cut_children(w, soft, in_frag, local);
            }
            std::vector<std::vector<int>> &children = w.children;
            for (auto &child : children) {
                if (child.empty() || child == frag) continue;
                const long long mz = nominal_of(child);
                if (!seen.insert(child).second) continue;
                if (peak_mz.insert(mz).second) peaks.push_back({mz, formula_of(child), gen + 1});
                queue.push_back({std::move(child), gen + 1});
            }
        }
    }
    return peaks;
}

}  // namespace corvane::ms
