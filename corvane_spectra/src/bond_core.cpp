#include "bond_core.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <set>
#include <utility>

namespace corvane::spectra {

namespace {

enum El : std::int8_t { kOther, kC, kH, kN, kO, kS, kF, kCl, kBr, kI, kP, kSi };

El element_of(const std::string &s) {
    static const std::pair<const char *, El> table[] = {{"C", kC},   {"H", kH},   {"N", kN},   {"O", kO},
                                                        {"S", kS},   {"F", kF},   {"Cl", kCl}, {"Br", kBr},
                                                        {"I", kI},   {"P", kP},   {"Si", kSi}};
    for (const auto &[name, el] : table)
        if (s == name) return el;
    return kOther;
}

bool is_halogen(El e) { return e == kF || e == kCl || e == kBr || e == kI; }

// Ionisation energies (eV) of radicals, for Stevenson's rule: when a bond breaks, the charge
// mostly stays with the fragment whose radical has the lower ionisation energy.  Gas-phase values
// of the textbook radicals, rounded (H 13.60, CH3 9.84, C2H5 8.12, 2-C3H7 7.37, t-C4H9 6.70,
// CH2OH 7.56, CH2NH2 6.29, benzyl 7.25, C6H5 8.32, CH3CO 7.0, HCO 8.12, vinyl 8.25, C2H 11.6,
// CN 13.6, OH 13.02, CH3O 10.72, C6H5O 8.56, NH2 11.14, NO2 9.59, SH 10.42, CH3S 9.2, the
// halogen atoms); other radicals take the value of the nearest of these by their radical site.
// Alkyl radicals by substitution (methyl, primary, secondary, tertiary):
constexpr double kAlkylIe[4] = {9.84, 8.12, 7.37, 6.70};

// and atoms that leave on their own.
double atom_radical_ie(El e) {
    switch (e) {
    case kF: return 17.42;
    case kCl: return 12.97;
    case kBr: return 11.81;
    case kI: return 10.45;
    case kH: return 13.60;
    case kSi: return 6.5;
    case kP: return 8.5;
    default: return 9.0;
    }
}

const std::array<std::uint32_t, 256> &crc_table() {
    static const std::array<std::uint32_t, 256> t = [] {
        std::array<std::uint32_t, 256> out{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1U) ? 0xEDB88320U ^ (c >> 1) : c >> 1;
            out[i] = c;
        }
        return out;
    }();
    return t;
}

char bond_char(double order) {
    if (order == 1.5) return ':';
    if (order == 2.0) return '=';
    if (order == 3.0) return '#';
    return '-';
}

}  // namespace

std::uint32_t crc32(const std::string &s) {
    const auto &t = crc_table();
    std::uint32_t c = 0xFFFFFFFFU;
    for (unsigned char ch : s) c = t[(c ^ ch) & 0xFFU] ^ (c >> 8);
    return c ^ 0xFFFFFFFFU;
}

std::string bond_graph(const BondGraphInput &in, bool want_text, BondGraph &out) {
    out = BondGraph{};
    const std::size_t n = in.symbol.size();
    const std::size_t nb = in.n_bonds;
    for (std::size_t k = 0; k < nb; ++k) {
        if (in.bond_u[k] < 0 || static_cast<std::size_t>(in.bond_u[k]) >= n || in.bond_v[k] < 0 ||
            static_cast<std::size_t>(in.bond_v[k]) >= n)
            return "bond " + std::to_string(k) + " names an atom out of range";
        const double o = in.bond_order[k];
        if (o != 1.0 && o != 1.5 && o != 2.0 && o != 3.0)
            return "bond " + std::to_string(k) + " has an order other than 1, 1.5, 2 or 3";
    }
    for (std::size_t i = 0; i < in.n_main; ++i)
        if (in.main_atoms[i] < 0 || static_cast<std::size_t>(in.main_atoms[i]) >= n)
            return "a main-component atom is out of range";

    std::vector<El> el;
    el.reserve(n);
    for (const auto &s : in.symbol) el.push_back(element_of(s));
    std::vector<std::vector<std::pair<std::int64_t, double>>> nbrs(n);  // (neighbour, bond order)
    for (std::size_t k = 0; k < nb; ++k) {
        nbrs[in.bond_u[k]].emplace_back(in.bond_v[k], in.bond_order[k]);
        nbrs[in.bond_v[k]].emplace_back(in.bond_u[k], in.bond_order[k]);
    }
    auto arom = [&](std::int64_t i) { return in.aromatic[i] != 0; };
    auto nh = [&](std::int64_t i) { return in.nh[i]; };

    // Per-atom flags read from both sides of every bond.
    std::vector<std::uint8_t> c_eq_c(n), carbonyl(n), acceptor(n), all_single(n), amine_n(n), o_or_s(n);
    for (std::size_t i = 0; i < n; ++i) {
        bool dbl_c = false, dbl_o = false, dbl_nos = false, single = true;
        for (const auto &[j, o] : nbrs[i]) {
            if (o == 2.0) {
                dbl_c |= el[j] == kC;
                dbl_o |= el[j] == kO;
                dbl_nos |= el[j] == kO || el[j] == kN || el[j] == kS;
            }
            single &= o == 1.0;
        }
        c_eq_c[i] = dbl_c && !arom(i);
        carbonyl[i] = el[i] == kC && dbl_o;
        acceptor[i] = el[i] == kC && (dbl_nos || arom(i));
        all_single[i] = single;
        amine_n[i] = el[i] == kN && !arom(i);
        o_or_s[i] = el[i] == kO || el[i] == kS;
    }

    // The ionisation energy (eV) of the radical left at atom c when its bond to p breaks.
    auto radical_ie = [&](std::int64_t c, std::int64_t p) -> double {
        const El e = el[c];
        if (e == kC) {
            if (arom(c)) return 8.32;  // aryl
            bool triple = false, any_other_n = false;
            std::vector<std::int64_t> dbl, rest;
            for (const auto &[j, o] : nbrs[c]) {
                if (j == p) continue;
                if (o == 3.0) triple = true;
                if (el[j] == kN) any_other_n = true;
                (o == 2.0 ? dbl : rest).push_back(j);
            }
            if (triple) return any_other_n ? 13.6 : 11.6;  // CN, ethynyl
            if (!dbl.empty()) {
                const bool to_o_s = std::any_of(dbl.begin(), dbl.end(), [&](std::int64_t j) {
                    return el[j] == kO || el[j] == kS;
                });
                if (!to_o_s) return 8.25;     // vinyl, iminyl
                if (rest.empty()) return 8.12;  // formyl
                if (std::any_of(rest.begin(), rest.end(), [&](std::int64_t j) { return el[j] == kO; }))
                    return 8.5;  // alkoxycarbonyl, carboxyl
                return 7.0;      // acyl
            }
            const std::size_t n_others = nbrs[c].size() - 1;
            double ie = kAlkylIe[std::min<std::size_t>(n_others, 3)];
            bool n_next = false, o_next = false, pi_next = false;
            for (const auto &[j, o] : nbrs[c]) {
                if (j == p) continue;
                n_next |= amine_n[j] != 0;
                o_next |= o_or_s[j] != 0;
                pi_next |= arom(j) || c_eq_c[j];
            }
            if (n_next)
                ie -= 1.8;  // aminoalkyl
            else if (o_next)
                ie -= 0.6;  // hydroxy/alkoxyalkyl
            if (pi_next) ie -= 0.9;  // benzyl, allyl-type
            return ie;
        }
        const std::size_t n_others = nbrs[c].size() - 1;
        if (e == kO) {
            if (n_others == 0) return nh(c) ? 13.02 : 13.6;  // OH; O atom
            for (const auto &[j, o] : nbrs[c])
                if (j != p && arom(j)) return 8.56;  // phenoxy
            return 10.72;                             // alkoxy, acyloxy
        }
        if (e == kN) {
            int n_o = 0;
            bool aryl = arom(c);
            for (const auto &[j, o] : nbrs[c])
                if (j != p) {
                    n_o += el[j] == kO;
                    aryl |= arom(j);
                }
            if (n_o >= 2) return 9.59;  // NO2
            if (n_o == 1) return 9.26;  // NO
            if (aryl) return 8.5;       // anilino, ring N
            constexpr double amino[3] = {11.14, 9.8, 9.0};  // NH2, NHR, NR2
            return amino[std::min<std::size_t>(n_others, 2)];
        }
        if (e == kS) {
            if (n_others == 0) return 10.42;  // SH
            for (const auto &[j, o] : nbrs[c])
                if (j != p && arom(j)) return 8.6;
            return 9.2;
        }
        return atom_radical_ie(e);
    };

    out.props.assign(2 * nb * kDirectedProps, 0.0);
    out.mclafferty.assign(2 * nb, 0);
    out.mclafferty_arom.assign(2 * nb, 0);
    out.mclafferty_ester.assign(2 * nb, 0);
    for (std::size_t k = 0; k < nb; ++k) {
        const std::int64_t u = in.bond_u[k], v = in.bond_v[k];
        const double o = in.bond_order[k];
        const bool ring = in.bond_in_ring[k] != 0;
        // What the bond is, the same from either side: cut_double .. soft_cuts.
        double cut[9] = {o == 2.0 ? 1.0 : 0.0, o == 3.0 ? 1.0 : 0.0, o == 1.5 ? 1.0 : 0.0, 0, 0, 0, 0, 0, 0};
        const bool cu = el[u] == kC, cv = el[v] == kC;
        if (cu != cv) {
            const El other = cu ? el[v] : el[u];
            cut[3] = other == kN;
            cut[4] = other == kO;
            cut[5] = other == kS;
            cut[6] = is_halogen(other);
        } else {
            cut[7] = !(cu || cv);
        }
        cut[8] = in.bond_soft[k] != 0;
        // (only a single bond outside rings splits the ion into two fragments, one a radical)
        const bool splits = o == 1.0 && !ring;
        const double ie_u = splits ? radical_ie(u, v) : 0.0, ie_v = splits ? radical_ie(v, u) : 0.0;
        for (int side = 0; side < 2; ++side) {
            const std::int64_t c = side == 0 ? u : v, p = side == 0 ? v : u;
            bool alpha_n = false, alpha_o_s = false, acylium = false, next_to_carbonyl = false, benzylic = false,
                 allylic = false;
            std::size_t n_others = 0;
            for (const auto &[j, oj] : nbrs[c]) n_others += j != p;
            if (el[c] == kC) {
                // Alpha cleavage: the charge on a saturated carbon beside an amine nitrogen
                // or an ether/alcohol oxygen (or sulfur), an onium ion.
                const bool saturated = !arom(c) && all_single[c];
                for (const auto &[j, oj] : nbrs[c]) {
                    if (j == p) continue;
                    alpha_n |= saturated && amine_n[j];
                    alpha_o_s |= saturated && o_or_s[j];
                    acylium |= el[j] == kO && oj == 2.0;
                    next_to_carbonyl |= !arom(c) && carbonyl[j];
                    if (!arom(c)) {
                        benzylic |= arom(j);
                        allylic |= c_eq_c[j] != 0;
                    }
                }
            }
            const double ie_c = side == 0 ? ie_u : ie_v, ie_p = side == 0 ? ie_v : ie_u;
            double *row = &out.props[(side * nb + k) * kDirectedProps];
            const double head[9] = {static_cast<double>(n_others), el[c] != kC ? 1.0 : 0.0,
                                    arom(c) ? 1.0 : 0.0, alpha_n ? 1.0 : 0.0, alpha_o_s ? 1.0 : 0.0,
                                    acylium ? 1.0 : 0.0, next_to_carbonyl ? 1.0 : 0.0, benzylic ? 1.0 : 0.0,
                                    allylic ? 1.0 : 0.0};
            std::copy(head, head + 9, row);
            std::copy(cut, cut + 9, row + 9);
            row[18] = std::min(std::max(ie_p - ie_c, -6.0), 6.0) / 4;
            // McLafferty: acceptor Y - c(alpha, saturated) | p(beta) - gamma-H, single bond
            // outside rings; the gamma-hydrogen moves to the acceptor's double bond.
            if (splits && el[c] == kC && el[p] == kC && !arom(c) && all_single[c]) {
                bool gamma_h = false;
                for (const auto &[gm, og] : nbrs[p])
                    gamma_h |= nh(gm) > 0 && gm != c && (el[gm] == kC || el[gm] == kN || el[gm] == kO);
                if (gamma_h) {
                    bool plain = false, any_acc = false, ester = false;
                    for (const auto &[j, oj] : nbrs[c]) {
                        if (j == p) continue;
                        any_acc |= acceptor[j] != 0;
                        plain |= acceptor[j] && !arom(j);
                        if (carbonyl[j])
                            for (const auto &[x, ox] : nbrs[j]) ester |= el[x] == kO && ox == 1.0;
                    }
                    if (plain) {
                        out.mclafferty[side * nb + k] = 1;
                        out.mclafferty_ester[side * nb + k] = ester;
                    } else if (any_acc) {
                        out.mclafferty_arom[side * nb + k] = 1;
                    }
                }
            }
        }
    }

    // Ortho pair: two neighbouring aromatic carbons with substituents, one of them carrying a
    // hydrogen on its first atom (OH, NH, CH) and the other a carbonyl or an oxygen.
    out.ortho_carbonyl.assign(n, 0);
    auto subs = [&](std::int64_t a) {
        std::vector<std::int64_t> s;
        for (const auto &[j, o] : nbrs[a])
            if (!arom(j) && !in.in_ring[j]) s.push_back(j);
        return s;
    };
    auto h_donor = [&](const std::vector<std::int64_t> &s) {
        return std::any_of(s.begin(), s.end(), [&](std::int64_t x) {
            return nh(x) > 0 && (el[x] == kO || el[x] == kN || el[x] == kC);
        });
    };
    auto o_acceptor = [&](const std::vector<std::int64_t> &s) {
        return std::any_of(s.begin(), s.end(), [&](std::int64_t y) { return carbonyl[y] || el[y] == kO; });
    };
    auto ester_like = [&](std::int64_t y) {
        if (!carbonyl[y]) return false;
        for (const auto &[x, o] : nbrs[y])
            if (el[x] == kO && o == 1.0) return true;
        return false;
    };
    for (std::size_t i = 0; i < in.n_main; ++i) {
        const std::int64_t a = in.main_atoms[i];
        if (!arom(a) || el[a] != kC) continue;
        for (const auto &[b, ob] : nbrs[a]) {
            if (b <= a || !arom(b) || el[b] != kC) continue;
            const auto sa = subs(a), sb = subs(b);
            if ((h_donor(sa) && o_acceptor(sb)) || (h_donor(sb) && o_acceptor(sa))) out.has_ortho = true;
            for (int t = 0; t < 2; ++t) {
                const auto &sx = t == 0 ? sa : sb;
                const auto &sy = t == 0 ? sb : sa;
                if (h_donor(sx))
                    for (std::int64_t y : sy)
                        if (ester_like(y)) out.ortho_carbonyl[y] = 1;
            }
        }
    }

    // Environment tokens: per atom its invariant (element, heavy degree, hydrogens,
    // aromatic/ring flags, charge) and its radius-1 and radius-2 environments.
    std::vector<std::string> inv(n), env1(n), env2(n);
    for (std::size_t i = 0; i < in.n_main; ++i) {
        const std::int64_t a = in.main_atoms[i];
        std::string s = in.symbol[a] + std::to_string(nbrs[a].size()) + "H" + std::to_string(nh(a));
        if (arom(a)) s += "a";
        if (in.in_ring[a]) s += "r";
        if (const std::int64_t q = in.charge[a]) {
            if (q > 0) s += '+';
            s += std::to_string(q);
        }
        inv[a] = std::move(s);
    }
    auto grow = [&](const std::vector<std::string> &prev, std::vector<std::string> &next) {
        std::vector<std::string> parts;
        for (std::size_t i = 0; i < in.n_main; ++i) {
            const std::int64_t a = in.main_atoms[i];
            if (nbrs[a].empty()) {
                next[a] = prev[a];
                continue;
            }
            parts.clear();
            for (const auto &[j, o] : nbrs[a]) parts.push_back(bond_char(o) + prev[j]);
            std::sort(parts.begin(), parts.end());
            std::string s = inv[a] + "(";
            for (std::size_t t = 0; t < parts.size(); ++t) {
                if (t) s += ",";
                s += parts[t];
            }
            next[a] = s + ")";
        }
    };
    grow(inv, env1);
    grow(env1, env2);
    out.token_crc.assign(2 * nb * 4, 0);
    if (want_text) out.tokens.assign(2 * nb * 4, std::string());
    for (std::size_t k = 0; k < nb; ++k)
        for (int side = 0; side < 2; ++side) {
            const std::int64_t c = side == 0 ? in.bond_u[k] : in.bond_v[k];
            const std::int64_t p = side == 0 ? in.bond_v[k] : in.bond_u[k];
            const std::string toks[4] = {"ion1 " + env1[c], "ion2 " + env2[c], "neutral1 " + env1[p],
                                         "pair " + inv[c] + bond_char(in.bond_order[k]) + inv[p]};
            for (int t = 0; t < 4; ++t) {
                const std::size_t at = (side * nb + k) * 4 + t;
                out.token_crc[at] = crc32(toks[t]);
                if (want_text) out.tokens[at] = toks[t];
            }
        }
    std::set<std::string> mi;
    for (std::size_t i = 0; i < in.n_main; ++i) mi.insert("mi " + env1[in.main_atoms[i]]);
    for (const auto &t : mi) {
        out.mi_crc.push_back(crc32(t));
        if (want_text) out.mi_tokens.push_back(t);
    }

    // Molecule-wide flags of the molecular ion and of the named routes.
    std::vector<std::uint8_t> onium_x(n);
    for (std::size_t i = 0; i < in.n_main; ++i) {
        const std::int64_t a = in.main_atoms[i];
        const El e = el[a];
        bool to_carbonyl = false, to_arom = false, single = true;
        int carbons = 0, oxygens = 0, methyl_c = 0;
        bool to_o = false;
        for (const auto &[j, o] : nbrs[a]) {
            to_carbonyl |= carbonyl[j] != 0;
            to_arom |= arom(j);
            single &= o == 1.0;
            carbons += el[j] == kC;
            oxygens += el[j] == kO;
            to_o |= el[j] == kO;
            methyl_c += el[j] == kC && nh(j) == 3;
        }
        const std::size_t deg = nbrs[a].size();
        if (e == kO && !arom(a) && deg == 2 && carbons == 2) out.ether_ester = true;
        if (e == kC && deg == 4 && !arom(a) && nh(a) == 0) out.quaternary = true;
        out.ring_atoms += in.in_ring[a] != 0;
        if ((e == kO || e == kN) && nh(a) > 0 && !arom(a) && !to_arom && single) out.alcohol_amine = true;
        if (e == kN && oxygens >= 2) out.nitro = true;
        if (carbonyl[a]) out.carbonyl = true;
        if (e == kC && !in.in_ring[a] && !arom(a)) ++out.chain_carbons;
        if (e == kN && !arom(a) && single && !to_carbonyl) out.amine = true;
        if (e == kSi && methyl_c == 3 && to_o) ++out.silyl_ethers;
        if (e == kC && !arom(a) && nh(a) > 0 && to_arom) out.benzylic_h = true;
        if ((e == kN || e == kO) && !arom(a) && !to_carbonyl) onium_x[a] = 1;
        if (carbonyl[a] && nh(a) == 1 && to_arom) out.aryl_aldehyde = true;
        if (e == kC && nh(a) == 3 && deg == 1 && arom(nbrs[a][0].first)) out.aryl_methyls.push_back(a);
        if ((e == kCl || e == kBr || e == kI) && deg == 1 && el[nbrs[a][0].first] == kC) {
            const std::int64_t c = nbrs[a][0].first;
            if (all_single[c] && !arom(c)) {
                bool h_next = false;
                for (const auto &[j, o] : nbrs[c]) h_next |= el[j] == kC && nh(j) > 0 && !arom(j);
                if (h_next) out.halides.push_back(a);
            }
        }
    }
    for (std::size_t i = 0; i < in.n_main && !out.alpha_h; ++i) {
        const std::int64_t a = in.main_atoms[i];
        if (el[a] != kC || arom(a) || nh(a) <= 0 || carbonyl[a] || !all_single[a]) continue;
        for (const auto &[j, o] : nbrs[a]) out.alpha_h |= onium_x[j] != 0;
    }
    // Alpha cleavage takes the largest radical it can: the onium ion is [M-H]+ only where
    // no carbon beside an onium nitrogen or oxygen has another carbon to lose.
    if (out.alpha_h) {
        bool lone = true;
        for (std::size_t x = 0; x < n; ++x) {
            if (!onium_x[x]) continue;
            for (const auto &[a, oa] : nbrs[x]) {
                if (el[a] != kC || arom(a)) continue;
                for (const auto &[j, oj] : nbrs[a]) lone &= el[j] != kC;
            }
        }
        out.alpha_h_only = lone;
    }
    return {};
}

}  // namespace corvane::spectra

namespace corvane::spectra {

std::int64_t composition_key(const std::int64_t *counts, std::size_t n) {
    std::int64_t key = 0;
    for (std::size_t j = 0; j < n; ++j)
        key = key * 17 + (std::clamp<std::int64_t>(counts[j], -1, 15) + 1);
    return key;
}

namespace {

constexpr std::int64_t kShifts[5] = {0, -1, -2, 1, 2};

bool kept(const ShiftInput &in, std::size_t i, std::int64_t sh) {
    if (in.comp[i * in.n_cols + in.col_h] + sh < 0 || in.mass[i] + sh < in.min_mz) return false;
    if (i == 0 && sh > 0) return false;  // the molecular ion gains no hydrogen
    return !(in.synthetic[i] && sh != 0);
}

}  // namespace

std::size_t count_shifted_candidates(const ShiftInput &in) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < in.n_sets; ++i)
        for (const std::int64_t sh : kShifts) n += kept(in, i, sh);
    return n;
}

void shifted_candidates(const ShiftInput &in, const Shifted &out) {
    const std::size_t nc = in.n_cols;
    std::vector<std::int64_t> neutral(nc);
    std::size_t row = 0;
    for (std::size_t i = 0; i < in.n_sets; ++i) {
        const std::int64_t *comp = in.comp + i * nc;
        for (const std::int64_t sh : kShifts) {
            if (!kept(in, i, sh)) continue;
            out.set[row] = static_cast<std::int64_t>(i);
            out.shift[row] = sh;
            out.mz[row] = in.mass[i] + sh;
            std::int64_t *cc = out.comp + row * nc;
            std::copy(comp, comp + nc, cc);
            cc[in.col_h] += sh;
            double *f = out.features + row * kShiftColumns;
            std::fill(f, f + kShiftColumns, 0.0);
            auto b = [](bool x) { return x ? 1.0 : 0.0; };
            const bool first_gen = in.generation[i] == 1;
            const bool arom_ion = in.aromatic_ring[i] != 0.0;
            f[kShiftMinus1] = b(sh == -1);
            f[kShiftMinus2] = b(sh == -2);
            f[kShiftPlus1] = b(sh == 1);
            f[kShiftPlus2] = b(sh == 2);
            f[kShiftPlusHetero] = b(sh > 0 && cc[in.col_n] + cc[in.col_o] + cc[in.col_s] > 0);
            f[kShiftMinusAromatic] = sh < 0 ? in.aromatic_ring[i] : 0.0;
            f[kMclafferty] = b(sh == 1 && in.mcl[i] > 0 && first_gen);
            f[kMclaffertyAlkene] = b(sh == -1 && in.mcl_alkene[i] > 0 && first_gen);
            f[kMclaffertyAromatic] = b(sh == 1 && in.mcl_aromatic[i] > 0 && first_gen);
            // Ion type of the shifted composition: hydrocarbon series, onium and acyl ions, parity.
            const double cdbe = in.dbe[i] - static_cast<double>(sh) / 2;
            const double cfrac = cdbe - std::floor(cdbe);  // 0.5: an even-electron ion
            const bool hc = in.n_hetero[i] == 0;
            f[kIonAlkyl] = b(hc && cdbe == 0.5);
            f[kIonAlkenyl] = b(hc && cdbe == 1.5);
            f[kIonAlkeneRadical] = b(hc && cdbe == 1.0);
            f[kIonDienyl] = b(hc && cdbe == 2.5);
            f[kIonAromaticHc] = b(hc && cdbe >= 3.5 && cfrac == 0.5);
            f[kIonOddElectron] = b(cfrac == 0 && i != 0);
            f[kIonEvenAromatic] = b(arom_ion && cfrac == 0.5);
            const std::int64_t nN = cc[in.col_n], nO = cc[in.col_o], other = in.n_hetero[i] - nN - nO;
            f[kIonIminium] = b(nN == 1 && nO == 0 && other == 0 && cdbe == 0.5);
            f[kIonOxonium] = b(nO == 1 && nN == 0 && other == 0 && cdbe == 0.5);
            f[kIonAcyl] = b(nO == 1 && nN == 0 && other == 0 && cdbe == 1.5);
            f[kIonSilylOxonium] = b(cc[in.col_si] == 1 && nO == 1 && nN == 0 && other == 1 && cdbe == 0.5);
            // Neutral losses: only neutrals of a few atoms can be one of the small ones.
            std::int64_t total = 0;
            bool plain = true;
            for (std::size_t j = 0; j < nc; ++j) {
                neutral[j] = in.mol_comp[j] - cc[j];
                total += neutral[j];
                if (j >= in.n_std && neutral[j] != 0) plain = false;
            }
            const std::int64_t key = composition_key(neutral.data(), in.n_std);
            out.neutral_key[row] = key;
            if (total <= 12 && i != 0 && plain) {
                const std::int64_t *pos = std::lower_bound(in.loss_keys, in.loss_keys + in.n_loss, key);
                if (pos != in.loss_keys + in.n_loss && *pos == key) {
                    const std::int64_t bits = in.loss_bits[pos - in.loss_keys];
                    for (int j = 0; j < 4; ++j) f[kLossCH3 + j] = static_cast<double>((bits >> j) & 1);
                }
            }
            if (in.aromatic) {
                f[kAromAlkyl] = f[kIonAlkyl];
                f[kAromAlkenyl] = f[kIonAlkenyl];
                f[kAromAlkeneRadical] = f[kIonAlkeneRadical];
                f[kAromOddElectron] = f[kIonOddElectron];
                f[kAromShiftMinus1] = f[kShiftMinus1];
                f[kAromShiftPlus1] = f[kShiftPlus1];
            }
            // Textbook ions of the shifted composition.
            bool hc_only = hc;
            for (std::size_t j = in.n_std; j < nc; ++j) hc_only &= cc[j] == 0;
            const std::int64_t n_c = cc[in.col_c];
            f[kBenzylType] = b(hc_only && arom_ion && cdbe == 4.5 && n_c >= 7 && (i != 0 || sh < 0));
            f[kPhenylCation] = b(hc_only && arom_ion && cdbe == 4.5 && n_c == 6 && i != 0);
            f[kAroyl] = b(in.acylium[i] > 0 && arom_ion && sh == 0);
            f[kAlphaOnium] = b(in.alpha_onium_site[i] > 0 && sh == 0 && (f[kIonIminium] != 0 || f[kIonOxonium] != 0));
            f[kOrthoLoss] = in.has_ortho ? f[kLossSmallMolecule] : 0.0;
            f[kHalogenLossMulti] = in.multi_halogen ? f[kLossHalogen] : 0.0;
            // Named textbook routes.
            const bool m_h = i == 0 && sh == -1;
            f[kBenzylicHLoss] = b(m_h && in.benzylic_h);
            f[kAlphaHLoss] = b(m_h && in.alpha_h);
            f[kArylAldehydeHLoss] = b(m_h && in.aryl_aldehyde);
            f[kArylMethylLoss] = b(in.aryl_methyl[i] && sh == 0);
            f[kOniumOneCarbon] = n_c == 1 ? f[kAlphaOnium] : 0.0;
            f[kAlphaHOnly] = in.alpha_h && in.alpha_h_only ? f[kAlphaHLoss] : 0.0;
            f[kHxElimination] = b(in.hx[i] && sh == -1);
            f[kRingAlphaCleavage] = b(in.ring_alpha[i] && sh == -1);
            f[kMclaffertyEster] = b(sh == 1 && in.mcl_ester[i] > 0 && first_gen);
            f[kAcyliumShifted] = b(in.acylium[i] > 0 && first_gen && sh != 0);
            f[kOrthoElimination] = b(in.ortho[i] && sh == -1);
            if (neutral[in.col_si] == 1 && plain && i != 0)  // (CH3)3SiOH
                f[kLossSilanol] = b(std::equal(neutral.begin(), neutral.begin() + in.n_std, in.silanol));
            ++row;
        }
    }
}

}  // namespace corvane::spectra
