#include "cand_core.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace corvane::spectra {

namespace {

using Word = std::uint64_t;

// Masks of a fixed width, each stored once (in out.masks), with the index of
// its first entry: an open-addressing table of set indices, hashed on the words.
class MaskSet {
  public:
    MaskSet(std::size_t words, AtomSets &out) : words_(words), out_(out), slots_(64, -1) {}

    // The index of mask m, added with the given route when new; -1 for the empty mask.
    std::int64_t add(const Word *m, SetMode mode, std::int64_t a, std::int64_t b, std::int64_t gen) {
        if (std::all_of(m, m + words_, [](Word w) { return w == 0; })) return -1;
        std::size_t i = hash(m) & (slots_.size() - 1);
        for (; slots_[i] >= 0; i = (i + 1) & (slots_.size() - 1))
            if (std::equal(m, m + words_, &out_.masks[static_cast<std::size_t>(slots_[i]) * words_])) return slots_[i];
        const auto index = static_cast<std::int64_t>(out_.mode.size());
        slots_[i] = index;
        out_.masks.insert(out_.masks.end(), m, m + words_);
        out_.mode.push_back(mode);
        out_.label_a.push_back(a);
        out_.label_b.push_back(b);
        out_.generation.push_back(gen);
        if (2 * out_.mode.size() > slots_.size()) grow();
        return index;
    }

  private:
    std::size_t hash(const Word *m) const {
        std::uint64_t h = 0x9E3779B97F4A7C15ULL;
        for (std::size_t w = 0; w < words_; ++w) {
            h ^= m[w] + 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2);
            h *= 0xBF58476D1CE4E5B9ULL;
            h ^= h >> 31;
        }
        return static_cast<std::size_t>(h);
    }

    void grow() {
        std::vector<std::int64_t> previous(slots_.size() * 2, -1);
        previous.swap(slots_);  // slots_ is now twice as long, and empty
        for (const std::int64_t index : previous)
            if (index >= 0) {
                std::size_t i = hash(&out_.masks[static_cast<std::size_t>(index) * words_]) & (slots_.size() - 1);
                while (slots_[i] >= 0) i = (i + 1) & (slots_.size() - 1);
                slots_[i] = index;
            }
    }

    std::size_t words_;
    AtomSets &out_;
    std::vector<std::int64_t> slots_;  // set indices, -1 where empty; a power of two long
};

}  // namespace

std::string enumerate_atom_sets(const AtomSetInput &in, AtomSets &out) {
    const std::size_t n = in.n_atoms;
    const std::size_t W = std::max<std::size_t>(1, (n + 63) / 64);
    out = AtomSets{};
    out.words = W;
    if (in.n_main == 0) return "no atoms in the main component";
    auto atom_ok = [n](std::int64_t a) { return a >= 0 && static_cast<std::size_t>(a) < n; };
    for (std::size_t k = 0; k < in.n_bonds; ++k)
        if (!atom_ok(in.bond_u[k]) || !atom_ok(in.bond_v[k]))
            return "bond " + std::to_string(k) + " names an atom out of range";
    for (std::size_t i = 0; i < in.n_main; ++i)
        if (!atom_ok(in.main_atoms[i])) return "a main-component atom is out of range";
    if (in.ring_start[0] != 0) return "ring offsets must start at 0";
    for (std::size_t r = 0; r < in.n_rings; ++r) {
        if (in.ring_start[r + 1] < in.ring_start[r]) return "ring offsets must not decrease";
        for (std::int64_t i = in.ring_start[r]; i < in.ring_start[r + 1]; ++i)
            if (!atom_ok(in.ring_atoms[i])) return "ring " + std::to_string(r) + " names an atom out of range";
    }

    // Neighbours in bond order, with the bond that joins them.
    std::vector<std::vector<std::pair<std::int64_t, std::int64_t>>> adj(n);
    for (std::size_t k = 0; k < in.n_bonds; ++k) {
        adj[in.bond_u[k]].emplace_back(in.bond_v[k], k);
        adj[in.bond_v[k]].emplace_back(in.bond_u[k], k);
    }
    auto set_bit = [](Word *m, std::int64_t a) { m[a >> 6] |= Word{1} << (a & 63); };
    auto has_bit = [](const Word *m, std::int64_t a) { return (m[a >> 6] >> (a & 63)) & 1; };

    std::vector<Word> full(W, 0);
    for (std::size_t i = 0; i < in.n_main; ++i) set_bit(full.data(), in.main_atoms[i]);
    MaskSet sets(W, out);
    sets.add(full.data(), kMolecularIon, -1, -1, 0);

    // Sides of the bridges: subtrees of a spanning tree grown from the first atom.
    const std::int64_t root = in.main_atoms[0];
    std::vector<std::int64_t> parent(n, -2);
    std::vector<std::int64_t> walk;
    std::vector<std::int64_t> stack{root};
    parent[root] = -1;
    while (!stack.empty()) {
        const std::int64_t a = stack.back();
        stack.pop_back();
        walk.push_back(a);
        for (const auto &[j, k] : adj[a])
            if (parent[j] == -2) {
                parent[j] = a;
                stack.push_back(j);
            }
    }
    std::vector<Word> sub(n * W, 0);
    for (const std::int64_t a : walk) set_bit(&sub[a * W], a);
    for (auto it = walk.rbegin(); it != walk.rend(); ++it)
        if (parent[*it] >= 0)
            for (std::size_t w = 0; w < W; ++w) sub[parent[*it] * W + w] |= sub[*it * W + w];

    std::vector<Word> bridge_side;  // per bridge: its u side, then its v side
    std::vector<Word> side(2 * W);
    for (std::size_t k = 0; k < in.n_bonds; ++k) {
        if (in.bond_in_ring[k]) continue;
        const std::int64_t u = in.bond_u[k], v = in.bond_v[k];
        if (parent[u] == -2 || parent[v] == -2) return "bond " + std::to_string(k) + " is outside the main component";
        const std::int64_t child = parent[v] == u ? v : u;
        Word *sc = &side[child == u ? 0 : W], *so = &side[child == u ? W : 0];
        for (std::size_t w = 0; w < W; ++w) {
            sc[w] = sub[child * W + w];
            so[w] = full[w] & ~sc[w];
        }
        bridge_side.insert(bridge_side.end(), side.begin(), side.end());
        out.bridges.push_back(static_cast<std::int64_t>(k));
        out.bridge_sets.push_back(sets.add(&side[0], kSingle, static_cast<std::int64_t>(k), -1, 1));
        out.bridge_sets.push_back(sets.add(&side[W], kSingle, static_cast<std::int64_t>(k), -1, 1));
    }

    // Two cuts in one ring.  group[i]: the atoms ring atom i still reaches without the ring's bonds.
    std::vector<Word> ring_side;
    std::vector<Word> group, s1(W), s2(W);
    std::vector<std::int64_t> ks;
    for (std::size_t r = 0; r < in.n_rings; ++r) {
        const std::int64_t *ring = in.ring_atoms + in.ring_start[r];
        const std::size_t K = static_cast<std::size_t>(in.ring_start[r + 1] - in.ring_start[r]);
        ks.assign(K, -1);
        for (std::size_t i = 0; i < K; ++i) {
            const std::int64_t a = ring[i], b = ring[(i + 1) % K];
            for (const auto &[j, k] : adj[a])
                if (j == b) ks[i] = k;
            if (ks[i] < 0) return "ring " + std::to_string(r) + ": atoms " + std::to_string(a) + " and " +
                                  std::to_string(b) + " share no bond";
        }
        group.assign(K * W, 0);
        for (std::size_t i = 0; i < K; ++i) {
            Word *seen = &group[i * W];
            set_bit(seen, ring[i]);
            stack.assign(1, ring[i]);
            while (!stack.empty()) {
                const std::int64_t a = stack.back();
                stack.pop_back();
                for (const auto &[j, k] : adj[a])
                    if (!has_bit(seen, j) && std::find(ks.begin(), ks.end(), k) == ks.end()) {
                        set_bit(seen, j);
                        stack.push_back(j);
                    }
            }
        }
        for (std::size_t i = 0; i < K; ++i)
            for (std::size_t j = i + 1; j < K; ++j) {
                std::fill(s1.begin(), s1.end(), 0);
                std::fill(s2.begin(), s2.end(), 0);
                for (std::size_t t = i + 1; t <= j; ++t)
                    for (std::size_t w = 0; w < W; ++w) s1[w] |= group[t * W + w];
                for (std::size_t t = j + 1; t <= i + K; ++t)
                    for (std::size_t w = 0; w < W; ++w) s2[w] |= group[(t % K) * W + w];
                bool touch = false;
                for (std::size_t w = 0; w < W; ++w) touch |= (s1[w] & s2[w]) != 0;
                if (touch) continue;
                for (const auto *s : {&s1, &s2}) {
                    ring_side.insert(ring_side.end(), s->begin(), s->end());
                    out.ring_side_a.push_back(ks[i]);
                    out.ring_side_b.push_back(ks[j]);
                }
                sets.add(s1.data(), kRing, ks[i], ks[j], 1);
                sets.add(s2.data(), kRing, ks[i], ks[j], 1);
            }
    }

    // Second generation: each first-generation side cut again at a bridge.
    const std::size_t nb = out.bridges.size(), n_first = 2 * nb + out.ring_side_a.size();
    std::vector<Word> x(W);
    for (std::size_t f = 0; f < n_first; ++f) {
        const Word *s = f < 2 * nb ? &bridge_side[f * W] : &ring_side[(f - 2 * nb) * W];
        for (std::size_t b = 0; b < 2 * nb; ++b) {
            const Word *t = &bridge_side[b * W];
            bool empty = true, same = true;
            for (std::size_t w = 0; w < W; ++w) {
                x[w] = s[w] & t[w];
                empty &= x[w] == 0;
                same &= x[w] == s[w];
            }
            if (!empty && !same) sets.add(x.data(), kRecursive, static_cast<std::int64_t>(f), out.bridges[b / 2], 2);
        }
    }
    return {};
}

void atom_set_matrix(const AtomSets &sets, std::size_t n_atoms, std::uint8_t *out) {
    const std::size_t W = sets.words;
    for (std::size_t i = 0; i < sets.size(); ++i)
        for (std::size_t a = 0; a < n_atoms; ++a)
            out[i * n_atoms + a] = static_cast<std::uint8_t>((sets.masks[i * W + (a >> 6)] >> (a & 63)) & 1);
}

}  // namespace corvane::spectra
