"""Textbook EI behaviour of the scored spectrum: base peaks, and isomers told apart for a known reason.

Cases marked xfail are textbook behaviour the current weights do not reproduce
yet; they pass (XPASS) as the model learns them.
"""
import numpy as np
import pytest

from corvane_spectra import predict


def heights(smiles) -> dict[int, float]:
    sp = predict(smiles, model="scored")
    return dict(zip(sp.mz.tolist(), sp.intensity.tolist()))


def strongest(smiles, n):
    sp = predict(smiles, model="scored")
    return sp.mz[np.argsort(-sp.intensity, kind="stable")][:n].tolist()


def _miss(reason):
    return pytest.mark.xfail(reason=f"not learnt yet: {reason}", strict=False)


@pytest.mark.parametrize("smiles, order", [
    pytest.param("CCc1ccccc1", (91, 106),                 # ethylbenzene: benzylic cleavage, then M+.
                 marks=_miss("C8H9+ 105 above M+. 106 (90.9 against 64.9)")),
    ("CC(C)c1ccccc1", (105,)),                           # cumene: loss of CH3 at the benzylic carbon
    ("CC(C)(C)c1ccccc1", (119,)),                        # tert-butylbenzene
    ("c1ccc2ccccc2c1", (128,)),                          # naphthalene: stable aromatic M+.
    ("c1ccncc1", (79,)),                                 # pyridine
    ("CCCCN", (30,)),                                    # butylamine: CH2=NH2+ by alpha cleavage
    ("CC(C)N", (44,)),                                   # isopropylamine: CH3CH=NH2+
    ("CNC(C)Cc1ccccc1", (58,)),                          # methamphetamine: iminium
    ("CCN(CC)CC(=O)Nc1c(C)cccc1C", (86,)),               # lidocaine: Et2N=CH2+
    ("CC(C)O", (45,)),                                   # 2-propanol: CH3CH=OH+
    ("CCCC=O", (44,)),                                   # butanal: McLafferty
    ("CCC(=O)CC", (57,)),                                # 3-pentanone: propionyl ion
    ("CC(=O)OCC", (43,)),                                # ethyl acetate: acetyl ion
    ("Cn1cnc2c1c(=O)n(C)c(=O)n2C", (194,)),              # caffeine: M+.
    ("Clc1c(Cl)c(Cl)c(Cl)c(Cl)c1Cl", (284,)),            # hexachlorobenzene: M+2 of the Cl6 cluster
    ("C[Si](C)(C)C", (73,)),                             # tetramethylsilane: (CH3)3Si+
    ("C1COCCOCCOCCOCCO1", (45,)),                        # 15-crown-5: C2H5O+ from two cuts of the ring
    ("Cc1ccccc1", (91, 92)),                             # toluene: tropylium 91 above M+. 92
    ("CC(=O)c1ccccc1", (105, 77)),                       # acetophenone: benzoyl, then phenyl
    ("COC(=O)c1ccccc1", (105, 77)),                      # methyl benzoate: benzoyl, then phenyl
    ("O=C(c1ccccc1)c1ccccc1", (105,)),                   # benzophenone: benzoyl
    ("Oc1ccccc1", (94,)),                                # phenol: stable M+.
    ("Cc1ccc(C)cc1", (91,)),                             # p-xylene: ring methyl lost, C7H7+ above M+. 106
    pytest.param("C1Cc2ccccc2C1", (117,),                 # indane: benzylic hydrogen lost
                 marks=_miss("M+. 118 above [M-H]+ 117 (100 against 83)")),
    ("NCc1ccccc1", (106,)),                              # benzylamine: PhCH=NH2+
    ("CBr", (94,)),                                      # bromomethane: M+., not Br+ 79
    ("CCCO", (31,)),                                     # 1-propanol: CH2=OH+
    ("CC(C)(C)O", (59,)),                                # tert-butanol: (CH3)2C=OH+
    ("CCCCCC(=O)OC", (74,)),                             # methyl hexanoate: McLafferty ion
    ("ClC(Cl)Cl", (83,)),                                # chloroform: CHCl2+
    ("C1CCC=CC1", (67,)),                                # cyclohexene: allylic cleavage, CH3 lost
    ("COC(=O)c1ccccc1O", (120,)),                        # methyl salicylate: ortho effect, loss of CH3OH
    ("NC1CCCCC1", (56,)),                                # cyclohexylamine: ring alpha cleavage, C3H6N+
    pytest.param("O=C1CCCCC1", (55,),                     # cyclohexanone: ring alpha cleavage, C3H3O+
                 marks=_miss("C3H6+. 42 and C3H5+ 41 above 55 (100 and 90 against 69)")),
    ("CC(C)C1CCC(C)CC1O", (71,)),                        # menthol: ring alpha cleavage away from isopropyl
    ("CN(C)c1ccccc1", (120,)),                           # N,N-dimethylaniline: only H can leave the alpha carbons
    pytest.param("Clc1c(Cl)c(Cl)c(Cl)c(Cl)c1Cl", (284, 286, 282),   # the Cl6 cluster: M+2, M+4, M
                 marks=_miss("M-Cl 249 above M 282 (76.7 against 72.2)")),
])
def test_textbook_strongest_peaks(smiles, order):
    assert strongest(smiles, len(order)) == list(order)


@pytest.mark.parametrize("a, ion_a, b, ion_b", [
    ("CCCc1ccccc1", 91, "CC(C)c1ccccc1", 105),          # benzylic cleavage: ethyl vs methyl lost
    ("CCCCN", 30, "CC(C)(C)N", 58),                     # alpha cleavage of amines
    ("CCCCC(=O)OC", 74, "CCCC(=O)OCC", 88),              # McLafferty of methyl vs ethyl esters
    ("CC(=O)c1ccc(C)cc1", 119, "CCC(=O)c1ccccc1", 105),  # which aroyl ion
    ("CCCCc1ccccc1", 92, "CC(C)(C)c1ccccc1", 119),       # McLafferty 92 needs a gamma hydrogen
    ("CCN(CC)CC", 86, "CCCCCCN", 30),                    # tertiary vs primary amine iminium
    ("CC(C)CC(C)=O", 58, "CCC(=O)CCC", 71),              # McLafferty vs butyryl ion
    pytest.param("CCCCC(C)=O", 43, "CCCC(=O)CC", 57,     # acetyl vs propionyl of hexanones
                 marks=_miss("3-hexanone's 57 and 43 a hair apart (57 first now, 100 against 99.8)")),
    ("CC1CCCC1=O", 55, "CC1CCC(=O)C1", 69),              # ring alpha cleavage: the methyl leaves or stays
    ("CCCO", 31, "CC(C)O", 45),                          # alpha cleavage of propanols
    ("CCC(C)O", 45, "CCCCO", 31),                        # alpha cleavage of butanols
    ("CCOCC", 59, "CCCOC", 45),                          # alpha cleavage of ethers
])
def test_isomers_differ_by_their_characteristic_ion(a, ion_a, b, ion_b):
    ha, hb = heights(a), heights(b)
    assert ha.get(ion_a, 0.0) > ha.get(ion_b, 0.0)
    assert hb.get(ion_b, 0.0) > hb.get(ion_a, 0.0)
