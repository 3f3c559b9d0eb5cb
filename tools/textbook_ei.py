"""Well-known compounds and the base peak of their 70 eV EI spectrum, as textbooks teach them.

    python tools/textbook_ei.py            # base peak first / in the top 3 for the scored model
    python tools/textbook_ei.py --list     # the misses, one line each
    python tools/textbook_ei.py --weights CACHE/cvw-TAG-fold0.npy ...   # saved weight vectors instead

The base peaks are the textbook values of standard interpretation courses
(tropylium 91, benzoyl 105, CH2=OH+ 31, McLafferty 74 of methyl esters,
...), written down from general knowledge of EI behaviour, not read from the
measured spectra in ../shared/ei/ (some of these compounds are also in that
data; ``--overlap`` lists them).  Compounds whose textbook base peak is
disputed between references were left out.
"""
from __future__ import annotations

import argparse
import sys

# (name, SMILES, base peak m/z)
TEXTBOOK: tuple[tuple[str, str, int], ...] = (
    # alkanes, alkenes, cycloalkanes
    ("methane", "C", 16), ("ethane", "CC", 28), ("propane", "CCC", 29), ("butane", "CCCC", 43),
    ("isobutane", "CC(C)C", 43), ("pentane", "CCCCC", 43), ("hexane", "CCCCCC", 57), ("heptane", "CCCCCCC", 43),
    ("octane", "CCCCCCCC", 43), ("neopentane", "CC(C)(C)C", 57), ("isooctane", "CC(C)CC(C)(C)C", 57),
    ("2-methylpentane", "CCCC(C)C", 43), ("3-methylpentane", "CCC(C)CC", 57),
    ("cyclopentane", "C1CCCC1", 42), ("cyclohexane", "C1CCCCC1", 56), ("methylcyclohexane", "CC1CCCCC1", 83),
    ("ethylene", "C=C", 28), ("propene", "CC=C", 41), ("1-butene", "CCC=C", 41), ("isobutene", "CC(C)=C", 41),
    ("acetylene", "C#C", 26), ("cyclohexene", "C1CCC=CC1", 67), ("limonene", "CC1=CCC(CC1)C(C)=C", 68),
    ("alpha-pinene", "CC1=CCC2CC1C2(C)C", 93), ("beta-pinene", "CC1(C)C2CCC(=C)C1C2", 93),
    # aromatic hydrocarbons
    ("benzene", "c1ccccc1", 78), ("toluene", "Cc1ccccc1", 91), ("ethylbenzene", "CCc1ccccc1", 91),
    ("o-xylene", "Cc1ccccc1C", 91), ("m-xylene", "Cc1cccc(C)c1", 91), ("p-xylene", "Cc1ccc(C)cc1", 91),
    ("propylbenzene", "CCCc1ccccc1", 91), ("butylbenzene", "CCCCc1ccccc1", 91),
    ("isobutylbenzene", "CC(C)Cc1ccccc1", 91), ("cumene", "CC(C)c1ccccc1", 105),
    ("sec-butylbenzene", "CCC(C)c1ccccc1", 105), ("tert-butylbenzene", "CC(C)(C)c1ccccc1", 119),
    ("mesitylene", "Cc1cc(C)cc(C)c1", 105), ("1,2,4-trimethylbenzene", "Cc1ccc(C)c(C)c1", 105),
    ("styrene", "C=Cc1ccccc1", 104), ("indane", "C1Cc2ccccc2C1", 117), ("tetralin", "C1CCc2ccccc2C1", 104),
    ("indene", "C1C=Cc2ccccc12", 116), ("naphthalene", "c1ccc2ccccc2c1", 128),
    ("1-methylnaphthalene", "Cc1cccc2ccccc12", 142), ("2-methylnaphthalene", "Cc1ccc2ccccc2c1", 142),
    ("biphenyl", "c1ccc(cc1)-c1ccccc1", 154), ("acenaphthylene", "C1=Cc2cccc3cccc1c23", 152),
    ("acenaphthene", "C1Cc2cccc3cccc1c23", 153), ("fluorene", "C1c2ccccc2-c2ccccc12", 166),
    ("anthracene", "c1ccc2cc3ccccc3cc2c1", 178), ("phenanthrene", "c1ccc2c(c1)ccc1ccccc12", 178),
    ("pyrene", "c1cc2ccc3cccc4ccc(c1)c2c34", 202),
    # alcohols, phenols, ethers
    ("methanol", "CO", 31), ("ethanol", "CCO", 31), ("1-propanol", "CCCO", 31), ("2-propanol", "CC(C)O", 45),
    ("1-butanol", "CCCCO", 31), ("2-butanol", "CCC(C)O", 45), ("tert-butanol", "CC(C)(C)O", 59),
    ("isobutanol", "CC(C)CO", 43), ("2-pentanol", "CCCC(C)O", 45), ("3-pentanol", "CCC(O)CC", 59),
    ("tert-amyl alcohol", "CCC(C)(C)O", 59), ("cyclohexanol", "OC1CCCCC1", 57), ("ethylene glycol", "OCCO", 31),
    ("benzyl alcohol", "OCc1ccccc1", 79), ("2-phenylethanol", "OCCc1ccccc1", 91), ("menthol", "CC(C)C1CCC(C)CC1O", 71),
    ("phenol", "Oc1ccccc1", 94), ("o-cresol", "Cc1ccccc1O", 108), ("p-cresol", "Cc1ccc(O)cc1", 107),
    ("eugenol", "COc1cc(CC=C)ccc1O", 164),
    ("dimethyl ether", "COC", 45), ("methyl tert-butyl ether", "COC(C)(C)C", 73), ("tetrahydrofuran", "C1CCOC1", 42),
    ("1,4-dioxane", "C1COCCO1", 28), ("dibutyl ether", "CCCCOCCCC", 57), ("anisole", "COc1ccccc1", 108),
    # amines and nitrogen aromatics
    ("methylamine", "CN", 30), ("ethylamine", "CCN", 30), ("propylamine", "CCCN", 30), ("butylamine", "CCCCN", 30),
    ("dimethylamine", "CNC", 44), ("isopropylamine", "CC(C)N", 44), ("tert-butylamine", "CC(C)(C)N", 58),
    ("trimethylamine", "CN(C)C", 58), ("diethylamine", "CCNCC", 58), ("triethylamine", "CCN(CC)CC", 86),
    ("dipropylamine", "CCCNCCC", 72), ("piperidine", "C1CCNCC1", 84), ("cyclohexylamine", "NC1CCCCC1", 56),
    ("aniline", "Nc1ccccc1", 93), ("N-methylaniline", "CNc1ccccc1", 106), ("N,N-dimethylaniline", "CN(C)c1ccccc1", 120),
    ("benzylamine", "NCc1ccccc1", 106), ("pyridine", "c1ccncc1", 79), ("pyrrole", "c1cc[nH]c1", 67),
    ("indole", "c1ccc2[nH]ccc2c1", 117), ("quinoline", "c1ccc2ncccc2c1", 129), ("isoquinoline", "c1ccc2cnccc2c1", 129),
    ("carbazole", "c1ccc2c(c1)[nH]c1ccccc12", 167), ("diphenylamine", "c1ccc(Nc2ccccc2)cc1", 169),
    ("amphetamine", "CC(N)Cc1ccccc1", 44), ("methamphetamine", "CNC(C)Cc1ccccc1", 58),
    ("ephedrine", "CNC(C)C(O)c1ccccc1", 58), ("MDMA", "CNC(C)Cc1ccc2OCOc2c1", 58),
    ("lidocaine", "CCN(CC)CC(=O)Nc1c(C)cccc1C", 86), ("nicotine", "CN1CCCC1c1cccnc1", 84),
    ("cocaine", "COC(=O)C1C(CC2CCC1N2C)OC(=O)c1ccccc1", 82),
    ("caffeine", "Cn1cnc2c1c(=O)n(C)c(=O)n2C", 194), ("theobromine", "Cn1cnc2c1c(=O)[nH]c(=O)n2C", 180),
    # carbonyl compounds
    ("acetaldehyde", "CC=O", 29), ("butanal", "CCCC=O", 44), ("hexanal", "CCCCCC=O", 44),
    ("phenylacetaldehyde", "O=CCc1ccccc1", 91), ("acetone", "CC(C)=O", 43), ("2-butanone", "CCC(C)=O", 43),
    ("2-pentanone", "CCCC(C)=O", 43), ("3-pentanone", "CCC(=O)CC", 57), ("2-hexanone", "CCCCC(C)=O", 43),
    ("pinacolone", "CC(=O)C(C)(C)C", 57), ("cyclopentanone", "O=C1CCCC1", 55), ("cyclohexanone", "O=C1CCCCC1", 55),
    ("camphor", "CC1(C)C2CCC1(C)C(=O)C2", 95), ("acetylacetone", "CC(=O)CC(C)=O", 43),
    ("acetophenone", "CC(=O)c1ccccc1", 105), ("benzophenone", "O=C(c1ccccc1)c1ccccc1", 105),
    ("vanillin", "COc1cc(C=O)ccc1O", 151), ("coumarin", "O=c1ccc2ccccc2o1", 146),
    # acids, esters, amides, anhydrides
    ("acetic acid", "CC(=O)O", 43), ("butanoic acid", "CCCC(=O)O", 60), ("pentanoic acid", "CCCCC(=O)O", 60),
    ("hexanoic acid", "CCCCCC(=O)O", 60), ("benzoic acid", "OC(=O)c1ccccc1", 105),
    ("phenylacetic acid", "OC(=O)Cc1ccccc1", 91), ("salicylic acid", "OC(=O)c1ccccc1O", 120),
    ("acetylsalicylic acid", "CC(=O)Oc1ccccc1C(=O)O", 120),
    ("methyl acetate", "COC(C)=O", 43), ("ethyl acetate", "CCOC(C)=O", 43), ("propyl acetate", "CCCOC(C)=O", 43),
    ("butyl acetate", "CCCCOC(C)=O", 43), ("isopentyl acetate", "CC(C)CCOC(C)=O", 43),
    ("methyl propanoate", "CCC(=O)OC", 57), ("methyl butanoate", "CCCC(=O)OC", 74),
    ("methyl hexanoate", "CCCCCC(=O)OC", 74), ("methyl octanoate", "CCCCCCCC(=O)OC", 74),
    ("methyl decanoate", "CCCCCCCCCC(=O)OC", 74), ("methyl palmitate", "CCCCCCCCCCCCCCCC(=O)OC", 74),
    ("methyl stearate", "CCCCCCCCCCCCCCCCCC(=O)OC", 74), ("ethyl acetoacetate", "CCOC(=O)CC(C)=O", 43),
    ("methyl benzoate", "COC(=O)c1ccccc1", 105), ("ethyl benzoate", "CCOC(=O)c1ccccc1", 105),
    ("benzyl acetate", "CC(=O)OCc1ccccc1", 108), ("phenyl acetate", "CC(=O)Oc1ccccc1", 94),
    ("benzyl benzoate", "O=C(OCc1ccccc1)c1ccccc1", 105), ("methyl salicylate", "COC(=O)c1ccccc1O", 120),
    ("benzocaine", "CCOC(=O)c1ccc(N)cc1", 120), ("dimethyl phthalate", "COC(=O)c1ccccc1C(=O)OC", 163),
    ("diethyl phthalate", "CCOC(=O)c1ccccc1C(=O)OCC", 149),
    ("dibutyl phthalate", "CCCCOC(=O)c1ccccc1C(=O)OCCCC", 149),
    ("acetanilide", "CC(=O)Nc1ccccc1", 93), ("paracetamol", "CC(=O)Nc1ccc(O)cc1", 109),
    ("N,N-dimethylformamide", "CN(C)C=O", 73), ("acetamide", "CC(N)=O", 59), ("acetic anhydride", "CC(=O)OC(C)=O", 43),
    ("acetyl chloride", "CC(Cl)=O", 43), ("benzoyl chloride", "ClC(=O)c1ccccc1", 105),
    ("ibuprofen", "CC(C)Cc1ccc(cc1)C(C)C(=O)O", 161), ("naproxen", "COc1ccc2cc(ccc2c1)C(C)C(=O)O", 185),
    ("phenobarbital", "CCC1(C(=O)NC(=O)NC1=O)c1ccccc1", 204),
    # halogen, sulfur, nitro, nitrile, silicon compounds
    ("chloromethane", "CCl", 50), ("bromomethane", "CBr", 94), ("iodomethane", "CI", 142),
    ("dichloromethane", "ClCCl", 49), ("chloroform", "ClC(Cl)Cl", 83), ("carbon tetrachloride", "ClC(Cl)(Cl)Cl", 117),
    ("bromoform", "BrC(Br)Br", 173), ("1,2-dichloroethane", "ClCCCl", 62), ("tetrachloroethylene", "ClC(Cl)=C(Cl)Cl", 166),
    ("1-chlorobutane", "CCCCCl", 56), ("tert-butyl chloride", "CC(C)(C)Cl", 57), ("1-bromobutane", "CCCCBr", 57),
    ("1-iodobutane", "CCCCI", 57), ("trichlorofluoromethane", "FC(Cl)(Cl)Cl", 101),
    ("dichlorodifluoromethane", "FC(F)(Cl)Cl", 85),
    ("fluorobenzene", "Fc1ccccc1", 96), ("chlorobenzene", "Clc1ccccc1", 112), ("bromobenzene", "Brc1ccccc1", 77),
    ("iodobenzene", "Ic1ccccc1", 204), ("1,4-dichlorobenzene", "Clc1ccc(Cl)cc1", 146),
    ("hexachlorobenzene", "Clc1c(Cl)c(Cl)c(Cl)c(Cl)c1Cl", 284), ("pentachlorophenol", "Oc1c(Cl)c(Cl)c(Cl)c(Cl)c1Cl", 266),
    ("benzyl chloride", "ClCc1ccccc1", 91), ("benzyl bromide", "BrCc1ccccc1", 91),
    ("thiophene", "c1ccsc1", 84), ("carbon disulfide", "S=C=S", 76), ("dimethyl disulfide", "CSSC", 94),
    ("dimethyl sulfoxide", "CS(C)=O", 63), ("thioanisole", "CSc1ccccc1", 124),
    ("nitromethane", "C[N+](=O)[O-]", 30), ("nitrobenzene", "[O-][N+](=O)c1ccccc1", 77),
    ("acetonitrile", "CC#N", 41), ("benzonitrile", "N#Cc1ccccc1", 103),
    ("furan", "c1ccoc1", 68), ("dibenzofuran", "c1ccc2c(c1)oc1ccccc12", 168),
    ("tetramethylsilane", "C[Si](C)(C)C", 73), ("hexamethyldisiloxane", "C[Si](C)(C)O[Si](C)(C)C", 147),
)


def base_peak_figures(predict, compounds=TEXTBOOK):
    """Share of compounds whose predicted base peak is the textbook one, and share with it in the top 3.

    ``predict``: SMILES -> Spectrum.  Returns (first, top3, misses) with misses
    (name, textbook m/z, predicted three strongest m/z) tuples.
    """
    import numpy as np

    first = top3 = 0
    misses = []
    for name, smi, base in compounds:
        s = predict(smi)
        mz, h = np.asarray(s.mz), np.asarray(s.intensity)
        order = mz[np.argsort(-h, kind="stable")][:3].tolist()
        first += bool(order) and order[0] == base
        top3 += base in order
        if not order or order[0] != base:
            misses.append((name, base, order))
    n = len(compounds)
    return first / n, top3 / n, misses


def overlap(compounds=TEXTBOOK):
    """Names of the compounds whose InChIKey skeleton is also in the measured data under ../shared/ei/."""
    from pathlib import Path

    from corvane_spectra.isomers import structure_key
    from ei_figures import read_msp

    here = Path(__file__).resolve().parent
    keys = set()
    for f in ("massbank_ei_dev.msp", "massbank_ei_extra.msp"):
        for r in read_msp(here.parent.parent / "shared" / "ei" / f):
            if r.get("inchikey"):
                keys.add(r["inchikey"].split("-")[0])
    return [name for name, smi, _b in compounds if (structure_key(smi) or ("", ""))[1] in keys]


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--list", action="store_true", help="print every miss")
    ap.add_argument("--overlap", action="store_true", help="print the compounds also in the measured data")
    ap.add_argument("--weights", nargs="+", metavar="NPY",
                    help="weight vectors saved by tools/fit_scored.py (cv: cvw-TAG-foldK.npy; fit: fit-TAG.npy) "
                         "to measure instead of the shipped weights; the mean over them is printed last")
    args = ap.parse_args(argv)
    from corvane_spectra import predict

    if args.overlap:
        names = overlap()
        print(f"{len(names)} of {len(TEXTBOOK)} also in ../shared/ei/: " + ", ".join(names))
        return 0
    if args.weights:
        import numpy as np

        import corvane
        from corvane_spectra import scored

        vif: dict = {}
        res = []
        for path in args.weights:
            w = np.load(path)

            def pred(smi, w=w):
                if smi not in vif:
                    vif[smi] = corvane.VIF(smi, draw=False, verbose=False)
                return scored.predict_scored(smi, weights=w, vif_result=vif[smi])

            first, top3, misses = base_peak_figures(pred)
            res.append((first, top3))
            print(f"{path}: textbook base peak first {100 * first:.1f} %, in the top 3 {100 * top3:.1f} %")
            if args.list:
                for name, base, order in misses:
                    print(f"  {name:28s} textbook {base:4d}  predicted {order}")
        r = np.array(res)
        print(f"mean of {len(res)}: first {100 * r[:, 0].mean():.1f} %, in the top 3 {100 * r[:, 1].mean():.1f} %")
        return 0
    first, top3, misses = base_peak_figures(lambda s: predict(s, model="scored"))
    print(f"{len(TEXTBOOK)} compounds: textbook base peak first {100 * first:.1f} %, in the top 3 {100 * top3:.1f} %")
    if args.list:
        for name, base, order in misses:
            print(f"  {name:28s} textbook {base:4d}  predicted {order}")
    return 0


if __name__ == "__main__":
    sys.path.insert(0, str(__import__("pathlib").Path(__file__).resolve().parent))
    sys.exit(main())
