"""Similarity, the per-spectrum figures and the library search index."""
import math

import numpy as np
import pytest

from corvane_spectra import Spectrum
from corvane_spectra.score import (IDENTIFICATION_SCORES, IdentificationScore, Library, cosine, figures,
                                   identification_rank, lowest_mz, matched_peaks, recall_at_k, similarity)


def S(peaks, **meta):
    return Spectrum.from_peaks(peaks, meta)


def brute_cosine(q, r, qa, ra, b=0.0, min_mz=None):
    """Plain-Python weighted cosine over the union of m/z at or above min_mz."""
    lo = -math.inf if min_mz is None else min_mz
    wq = {m: i ** qa * m ** b for m, i in q.peaks() if m >= lo and i > 0}
    wr = {m: i ** ra * m ** b for m, i in r.peaks() if m >= lo and i > 0}
    dot = sum(wq[m] * wr[m] for m in wq.keys() & wr.keys())
    nq = math.sqrt(sum(v * v for v in wq.values()))
    nr = math.sqrt(sum(v * v for v in wr.values()))
    return dot / (nq * nr) if nq and nr else 0.0


# ------------------------------------------------------------ similarity

@pytest.mark.parametrize("a,b,min_mz", [
    (0.5, 0.0, None), (1.0, 0.0, None), (0.6, 3.0, None), (0.5, 0.0, 60), (0.5, 1.0, 41),
])
def test_weighted_cosine_matches_plain_formula(a, b, min_mz):
    q = S([(39, 120), (41, 999), (43, 50), (55, 300), (69, 10), (70, 400)])
    r = S([(27, 60), (41, 100), (55, 60), (70, 60), (71, 60)])
    got = similarity(q, r, intensity_power=a, mz_power=b, min_mz=min_mz)
    assert got.cosine == pytest.approx(brute_cosine(q, r, a, a, b, min_mz), rel=1e-12)
    assert got.matches == len({m for m in (41, 55, 70) if min_mz is None or m >= min_mz})


@pytest.mark.parametrize("q,r,expected", [
    ([(10, 1.0)], [(10, 5.0)], 1.0),                 # scale does not matter
    ([(10, 1.0)], [(11, 1.0)], 0.0),                 # nominal m/z: 10 and 11 never match
    ([], [(10, 1.0)], 0.0),                          # empty side
    ([(10, 0.0), (12, 4.0)], [(10, 9.0)], 0.0),      # a zero intensity is no peak
])
def test_cosine_edge_cases(q, r, expected):
    assert cosine(S(q), S(r)) == pytest.approx(expected)


def test_composite_score_by_hand():
    # Two matched peaks, weights sqrt(I): q = (2, 1, 3), r = (4, 1) at m/z 10, 20 (30 only in q).
    q = S([(10, 4.0), (20, 1.0), (30, 9.0)])
    r = S([(10, 16.0), (20, 1.0)])
    got = similarity(q, r, method="composite")
    cos = (2 * 4 + 1 * 1) / math.sqrt((4 + 1 + 9) * (16 + 1))
    ratio = (1 / 2) * (4 / 1)            # (q2/q1) * (r1/r2) = 2 -> min(r, 1/r) = 0.5
    expected = (3 * cos ** 2 + 2 * min(ratio, 1 / ratio)) / (3 + 2)
    assert got.cosine == pytest.approx(cos)
    assert got.score == pytest.approx(expected)
    assert got.matches == 2


@pytest.mark.parametrize("tol,min_mz,expected", [(0, None, 1), (1, None, 3), (1, 30, 1), (2, None, 3)])
def test_matched_peaks_with_tolerance(tol, min_mz, expected):
    a = S([(10, 1), (20, 1), (30, 1), (40, 0)])
    b = S([(11, 1), (21, 1), (30, 1), (41, 1)])
    assert matched_peaks(a, b, tolerance=tol, min_mz=min_mz) == expected


def test_peak_arrays_in_any_order_and_raw_core_refusal():
    from corvane_spectra import _core

    pair = (np.array([20, 10]), np.array([4.0, 1.0]))
    assert similarity(pair, S([(10, 1), (20, 4)])).cosine == pytest.approx(1.0)
    with pytest.raises(ValueError, match="ascending"):
        _core.similarity(pair[0], pair[1], pair[0], pair[1], 0.5, 0, 0.5, 0, "cosine", 0)
    with pytest.raises(ValueError, match="intensities"):
        _core.similarity(np.array([1, 2]), np.array([1.0]), pair[0], pair[1], 0.5, 0, 0.5, 0, "cosine", 0)


# ------------------------------------------------------------- figures

def test_figures_on_a_hand_made_pair():
    # Base 1000, strong >= 50.  Lowest measured m/z 40.
    measured = S([(40, 30), (41, 1000), (43, 500), (55, 49.9), (56, 50), (57, 200), (70, 100), (85, 60)])
    # 15 is below the measured range and does not count; 42 is one off 41/43; 55 is measured but weak.
    predicted = S([(15, 60), (41, 60), (42, 60), (55, 60), (57, 60), (100, 100)])
    f = figures(measured, predicted)
    # precision: of 41, 42, 55, 57, 100 only 41 and 57 are strong measured peaks.
    assert f["n_predicted"] == 5
    assert f["precision"] == pytest.approx(2 / 5)
    # strong peaks: 41, 43, 56, 57, 70, 85 (six, fewer than ten).
    assert f["n_top"] == 6
    assert f["recall10"] == pytest.approx(2 / 6)          # 41, 57
    assert f["recall10_pm1"] == pytest.approx(4 / 6)      # + 43 (42), 56 (55 or 57)
    # predicted heights against sqrt(measured), at m/z >= 40.
    p = {41: 60, 42: 60, 55: 60, 57: 60, 100: 100}
    m = {mz: math.sqrt(i) for mz, i in measured.peaks()}
    dot = sum(p[k] * m[k] for k in p.keys() & m.keys())
    expected_cos = dot / math.sqrt(sum(v * v for v in p.values()) * sum(v * v for v in m.values()))
    assert f["cosine"] == pytest.approx(expected_cos, rel=1e-12)


def test_recall_takes_ten_strongest_and_breaks_ties_by_lower_mz():
    # Twelve strong peaks; the 10th and 11th have equal intensity: m/z 110 is taken, 111 is not.
    peaks = [(100 + k, 1000 - 10 * k) for k in range(10)] + [(110, 900), (111, 900)]
    peaks = [(m, i) for m, i in peaks if m not in (109,)]   # eleven left: 100..108, 110, 111
    measured = S(peaks)
    f_in = figures(measured, S([(110, 60)]))
    f_out = figures(measured, S([(111, 60)]))
    assert f_in["n_top"] == 10 and f_in["recall10"] == pytest.approx(0.1)
    assert f_out["recall10"] == 0.0
    assert f_out["recall10_pm1"] == pytest.approx(0.1)     # 111 is within one of 110


@pytest.mark.parametrize("measured,predicted,key", [
    ([], [(10, 60)], "recall10"),                 # empty measurement: nothing defined
    ([(50, 100)], [(10, 60), (49, 60)], "precision"),  # every prediction below the measured range
])
def test_undefined_figures_are_nan(measured, predicted, key):
    assert math.isnan(figures(S(measured), S(predicted))[key])


def test_lowest_mz_skips_zero_intensity():
    assert lowest_mz(S([(10, 0), (12, 3), (20, 1)])) == 12
    assert lowest_mz(S([])) == 0


# --------------------------------------------------- identification rank

def test_identification_rank_counts_strictly_better_and_ties_favour_truth():
    query = S([(50, 100), (60, 400), (70, 900)])
    lib = [
        S([(60, 60), (70, 100)]),          # the true molecule
        S([(60, 60), (70, 100)]),          # identical prediction: a tie, counted in favour
        S([(50, 60), (60, 60), (70, 100)]),  # better
        S([(80, 100)]),                     # no match
        S([(70, 100)]),                     # better? cosine sqrt(900)/... computed below
    ]

    def fig_cos(p):
        return figures(query, p)["cosine"]

    truth = fig_cos(lib[0])
    expected = sum(fig_cos(p) > truth for p in lib)
    assert identification_rank(query, lib, 0) == expected
    assert identification_rank(query, lib, 1) == expected


def test_identification_rank_cuts_library_at_query_lowest_mz():
    query = S([(50, 100), (60, 100)])
    true = S([(50, 100), (60, 100), (20, 100)])       # peak 20 is below the measured range
    other = S([(50, 100), (61, 100)])
    # Without the cut the stray peak at 20 would make the truth lose to nothing here,
    # with it the truth is a perfect match.
    assert identification_rank(query, [true, other], 0) == 0
    assert identification_rank(query, [true, S([(50, 100), (60, 100)])], 0) == 0
    assert identification_rank(query, [true, other], 0, min_mz=0) == 0
    assert identification_rank(query, [true, S([(50, 1), (60, 1)])], 0, min_mz=0) == 1


# ------------------------------------------- identification score

def P(peaks):
    return Spectrum.from_peaks(peaks, convention="scored")


@pytest.mark.parametrize("score", IDENTIFICATION_SCORES)
def test_identification_score_of_a_reference_ignores_the_other_references(score):
    """A reference's score depends on the query and that reference alone (in
    any library, in any order); identical references tie, in the truth's favour."""
    query = S([(41, 30), (43, 100), (58, 40), (71, 5), (86, 12)])
    refs = [P([(43, 100), (58, 50), (86, 30)]), P([(43, 100), (58, 50), (86, 30)]), P([(29, 40), (43, 80), (57, 100)]),
            P([(43, 100), (58, 60), (71, 20), (100, 10), (128, 5)]), P([]), P([(20, 100)])]
    full = IdentificationScore(refs, score=score).scores(query)
    assert np.all(np.isfinite(full))
    for k, r in enumerate(refs):
        assert IdentificationScore([r], score=score).scores(query)[0] == pytest.approx(full[k], rel=1e-12, abs=1e-15)
    assert IdentificationScore(refs[::-1], score=score).scores(query) == pytest.approx(full[::-1], rel=1e-12)
    scorer = IdentificationScore(refs, score=score)
    assert scorer.rank(query, 0) == scorer.rank(query, 1)
    if score == "cosine":
        assert full == pytest.approx([figures(query, r)["cosine"] if len(r) else 0.0 for r in refs], abs=1e-12)
        assert [IdentificationScore(refs, score=score).rank(query, k) for k in range(4)] == \
            [identification_rank(query, refs, k) for k in range(4)]


def test_learned_identification_score_weighs_measured_peaks_above_a_reference():
    """Methyl benzoate-like query with its molecular ion 136 measured: a lighter
    reference (nothing above m/z 106) that the cosine prefers must lose to the
    true one, whose predicted heights are worse but whose mass fits; a
    reference heavier than every measured peak gets no penalty for that."""
    query = S([(51, 25), (77, 60), (105, 100), (136, 30)])
    true = P([(51, 100), (77, 30), (105, 60), (136, 20), (137, 3)])
    lighter = P([(51, 50), (77, 77), (105, 100), (106, 10)])
    cos = IdentificationScore([true, lighter], score="cosine").scores(query)
    assert cos[1] > cos[0]
    learned = IdentificationScore([true, lighter])
    assert learned.rank(query, 0) == 0 and learned.rank(query, 1) == 1
    heavier = P([(51, 100), (77, 30), (105, 60), (136, 20), (150, 40)])
    t = IdentificationScore([true, heavier]).terms(query)
    for name, v in t.items():
        if name.startswith("above"):
            assert v[1] == v[0]


def test_recall_at_k():
    assert recall_at_k([0, 0, 3, 12], 1) == 0.5
    assert recall_at_k([0, 0, 3, 12], 10) == 0.75
    assert math.isnan(recall_at_k([], 1))


# --------------------------------------------------------------- library

def random_library(rng, n, max_mz=300, peaks=(3, 40)):
    out = []
    for i in range(n):
        k = int(rng.integers(*peaks))
        mz = np.sort(rng.choice(np.arange(1, max_mz), size=k, replace=False))
        out.append(Spectrum(mz, rng.random(k) * 999 + 1, {"name": f"s{i}"}))
    return out


@pytest.mark.parametrize("ip,mp,qip,min_mz", [(0.5, 0.0, None, None), (1.0, 0.0, 0.5, 40), (0.6, 3.0, None, 100)])
def test_index_scores_agree_with_brute_force(ip, mp, qip, min_mz):
    rng = np.random.default_rng(7)
    spectra = random_library(rng, 300)
    lib = Library(spectra, intensity_power=ip, mz_power=mp)
    for q in random_library(rng, 5):
        scores, matches = lib.scores(q, min_mz=min_mz, query_intensity_power=qip)
        qa = ip if qip is None else qip
        want = [brute_cosine(q, s, qa, ip, mp, min_mz) for s in spectra]
        np.testing.assert_allclose(scores, want, rtol=1e-6, atol=1e-12)
        lo = -1 if min_mz is None else min_mz
        want_m = [len({m for m in q.mz.tolist() if m >= lo} & set(s.mz.tolist())) for s in spectra]
        assert matches.tolist() == want_m
        hits = lib.search(q, top=7, min_mz=min_mz, query_intensity_power=qip)
        order = sorted(range(len(spectra)), key=lambda i: (-scores[i], i))[:7]
        assert [h.index for h in hits] == order
        assert hits[0].metadata["name"] == f"s{order[0]}"


def test_composite_search_rescores_with_the_pair_formula():
    rng = np.random.default_rng(3)
    spectra = random_library(rng, 200, max_mz=120)
    lib = Library(spectra, intensity_power=0.6, mz_power=3.0)
    q = spectra[17]
    hits = lib.search(q, top=5, method="composite", prefilter=200)
    assert hits[0].index == 17 and hits[0].score == pytest.approx(1.0)
    for h in hits:
        want = similarity(q, spectra[h.index], intensity_power=0.6, mz_power=3.0, method="composite")
        assert h.score == pytest.approx(want.score, rel=1e-5)
    assert [h.score for h in hits] == sorted((h.score for h in hits), reverse=True)


def test_library_streams_and_holds_peaks_compactly():
    gen = (Spectrum([10, 20, 30 + i], [1.0, 0.0, 4.0], {"name": str(i)}) for i in range(50))
    lib = Library(gen, intensity_power=1.0)
    assert len(lib) == 50
    got = lib.spectrum(3)
    assert got.mz.tolist() == [10, 33]                 # the zero intensity is not stored
    assert got.name == "3"
    assert lib.memory_bytes < 50 * 3 * 40
    assert lib.search(Spectrum([33], [1.0]), top=1)[0].index == 3


@pytest.mark.parametrize("bad,err", [
    (dict(top=-1), ValueError), (dict(method="nist"), ValueError), (dict(min_mz=1.5), TypeError),
])
def test_search_argument_errors(bad, err):
    lib = Library([S([(10, 1.0)])])
    with pytest.raises(err):
        lib.search(S([(10, 1.0)]), **bad)


def test_empty_library_and_empty_query():
    lib = Library([])
    assert lib.search(S([(10, 1.0)])) == []
    lib = Library([S([(10, 1.0)])])
    assert lib.search(S([])) == []
    assert lib.scores(S([]))[0].tolist() == [0.0]


def test_library_grows_after_a_search():
    lib = Library([S([(10, 1.0)])])
    assert len(lib.search(S([(10, 1.0)]))) == 1
    lib.add(S([(10, 2.0), (11, 1.0)]))
    assert [h.index for h in lib.search(S([(11, 1.0)]))] == [1]


# ------------------------------------------------ extreme values, threads

@pytest.mark.parametrize("scale", [1e39, 1e300, 1e-300])
@pytest.mark.parametrize("a,b,method", [(0.5, 0.0, "cosine"), (1.0, 0.0, "cosine"), (2.0, 0.0, "cosine"),
                                        (0.6, 3.0, "composite"), (1.0, -40.0, "cosine")])
def test_finite_intensities_of_any_size_score_like_ordinary_ones(scale, a, b, method):
    peaks = [(41, 999.0), (43, 50.0), (55, 300.0), (70, 400.0)]
    other = [(41, 100.0), (55, 60.0), (70, 60.0), (71, 60.0)]
    big = S([(m, i * scale) for m, i in peaks])
    kw = dict(intensity_power=a, mz_power=b, method=method)
    self_score = similarity(big, big, **kw)
    assert self_score.score == pytest.approx(1.0, abs=1e-12) and self_score.cosine == pytest.approx(1.0, abs=1e-12)
    want = similarity(S(peaks), S(other), **kw)
    got = similarity(big, S(other), **kw)
    assert got.score == pytest.approx(want.score, rel=1e-9) and got.matches == want.matches
    lib = Library([S(other), big], intensity_power=a, mz_power=b)
    hits = lib.search(big, top=2, method=method)
    assert [h.index for h in hits] == [1, 0]
    assert hits[0].score == pytest.approx(1.0, abs=1e-9)
    assert hits[1].score == pytest.approx(similarity(big, S(other), **kw).score, rel=1e-6)
    scores, _ = lib.scores(S(other))
    assert np.isfinite(scores).all() and scores[0] == pytest.approx(1.0, abs=1e-9)


@pytest.mark.parametrize("tol", [2 ** 62, 2 ** 63 - 1])
def test_matched_peaks_with_tolerances_near_the_int64_limit(tol):
    from corvane_spectra import _core

    a = S([(10, 1), (500, 1), (999_999, 1)])
    b = S([(1, 1)])
    assert matched_peaks(a, b, tolerance=tol) == 3
    far = np.array([-(2 ** 63) + 5, 2 ** 63 - 5], dtype=np.int64)
    assert _core.matched_peaks(far, np.ones(2), far, np.ones(2), tol, -(2 ** 63)) == 2


@pytest.mark.parametrize("mz", [[1], [1, 10 ** 6], [5, 2 ** 40], [-(2 ** 62), 2 ** 62]])
def test_index_memory_follows_the_peaks_not_their_mz_span(mz):
    from corvane_spectra import _core

    lib = _core.LibraryCore(0.5, 0.0)
    for m in mz:
        lib.add(np.array([m], dtype=np.int64), np.array([4.0]))
    lib.finalize()
    assert lib.memory_bytes < 4096
    hits = lib.search(np.array([mz[-1]], dtype=np.int64), np.array([1.0]), 0.5, 0.0, 5, -(2 ** 63), "cosine", 10)
    assert [(h[0], h[1]) for h in hits] == [(len(mz) - 1, 1.0)]


def test_library_errors_name_the_spectrum_and_the_file(tmp_path):
    lib = Library([S([(10, 1.0)], name="first")])
    bad = Spectrum._trusted(np.array([10, 20], dtype=np.int64), np.array([1.0, np.inf]), {"name": "odd one"})
    with pytest.raises(ValueError, match="odd one: intensities must be finite"):
        lib.add(bad)
    assert len(lib) == 1 and lib.search(S([(10, 1.0)]))[0].name == "first"


def test_a_library_shared_by_threads_adding_and_searching():
    import threading

    rng = np.random.default_rng(7)

    def spectrum(k):
        mz = np.unique(rng.integers(10, 400, 40))
        return Spectrum(mz, rng.random(mz.size) + 0.01, {"name": f"s{k}"})

    base = [spectrum(k) for k in range(300)]
    extra = [spectrum(300 + k) for k in range(200)]
    lib = Library(base)
    stop = threading.Event()
    rounds = {3: 0, 4: 0, 5: 0}
    problems = []

    def adder():
        # Adds while the searchers run, until each has done 30 rounds with adds going on.
        try:
            k = 0
            while min(rounds.values()) < 30 and not problems:
                lib.add(extra[k % len(extra)])
                k += 1
        finally:
            stop.set()

    def searcher(k):
        try:
            while not stop.is_set():
                q = base[k]
                s, m = lib.scores(q)
                if len(s) < len(base) or len(m) != len(s) or abs(s[k] - 1.0) > 1e-9:
                    problems.append(("scores", len(s), float(s[k])))
                hits = lib.search(q, top=3, method="composite" if k % 2 else "cosine")
                if hits[0].index != k or hits[0].name != f"s{k}":
                    problems.append(("search", hits[0].index, hits[0].name))
                lib.memory_bytes, len(lib), lib.spectrum(k)
                rounds[k] += 1
        except Exception as e:  # reported below, with the thread's failure
            problems.append(repr(e))

    threads = [threading.Thread(target=adder)] + [threading.Thread(target=searcher, args=(k,)) for k in (3, 4, 5)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not problems, problems[:5]
    assert len(lib) > len(base) and len(lib.scores(base[0])[0]) == len(lib)
