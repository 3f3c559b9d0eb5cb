"""Predicted spectra from corvane's VIF analysis."""
from __future__ import annotations

from .spectrum import PeakAnnotation, Spectrum

# The schematic heights of corvane's stick spectrum.
MOLECULAR_ION_HEIGHT = 100.0
FRAGMENT_HEIGHT = 60.0


def _molecular_formula(smiles: str) -> str:
    from rdkit import Chem
    from rdkit.Chem import rdMolDescriptors

    mol = Chem.MolFromSmiles(smiles, sanitize=False)
    mol.UpdatePropertyCache(strict=False)
    return rdMolDescriptors.CalcMolFormula(mol)


MODELS = ("schematic", "scored")


def require_sanitizable(smiles: str) -> None:
    """Refuses (ValueError) a SMILES that RDKit cannot read or sanitise.

    Such a SMILES (an aromatic ring that cannot be kekulised, an atom with
    an impossible valence) names no molecule: a prediction for it would be
    for a molecule made up along the way.  Every prediction entry point calls
    this first, so all of them refuse it with the same message."""
    if not isinstance(smiles, str):
        raise TypeError(f"SMILES must be a str, not {type(smiles).__name__}")
    from rdkit import Chem, rdBase

    with rdBase.BlockLogs():
        mol = Chem.MolFromSmiles(smiles, sanitize=False)
        if mol is None:
            raise ValueError(f"unreadable SMILES {smiles!r}: RDKit cannot parse it")
        try:
            Chem.SanitizeMol(mol)
        except Exception as e:  # RDKit raises several classes of its own
            why = " ".join(str(e).split()) or type(e).__name__
            raise ValueError(f"unreadable SMILES {smiles!r}: RDKit cannot sanitise it ({why})") from None


def molecule_metadata(smiles: str, mol=None) -> dict:
    """What a library record says of the molecule of a predicted spectrum:
    InChIKey, average and monoisotopic mass, ion mode and spectrum type
    ({} for a SMILES RDKit cannot read).  ``mol``: ``Chem.MolFromSmiles(smiles)``
    when the caller has it already."""
    from rdkit import Chem, RDLogger
    from rdkit.Chem import Descriptors

    RDLogger.DisableLog("rdApp.*")
    try:
        if mol is None:
            mol = Chem.MolFromSmiles(smiles)
        if mol is None:
            return {}
        # As text, as a library file holds them (and a reader gives them back).
        out = {"mw": str(round(Descriptors.MolWt(mol), 4)), "exactmass": str(round(Descriptors.ExactMolWt(mol), 5))}
        try:
            key = Chem.MolToInchiKey(mol)
        except Exception:  # an InChI-less molecule keeps the rest
            key = ""
        if key:
            out["inchikey"] = key
    finally:
        RDLogger.EnableLog("rdApp.*")
    out["ion_mode"] = "positive"
    out["spectrum_type"] = "MS1"
    return out


def with_molecule_metadata(spectrum: Spectrum, smiles: str, model: str | None = None, mol=None) -> Spectrum:
    """Adds :func:`molecule_metadata` (and the model's name) where the
    spectrum's metadata lacks them."""
    for k, v in molecule_metadata(smiles, mol).items():
        spectrum.metadata.setdefault(k, v)
    if model:
        spectrum.metadata.setdefault("model", model)
    return spectrum


DEFAULT_MODEL = "scored"


def predict(smiles: str, ring_fragmentation: bool = False, recursive: bool = False,
            max_generations: int = 2, model: str = DEFAULT_MODEL) -> Spectrum:
    """The predicted EI spectrum of one molecule.

    ``model="scored"`` (the default): every candidate ion (single and ring
    cuts of all bonds, their second-generation cuts, hydrogen shifts,
    isotopes) with an intensity from a fitted log-linear model; the heights
    are square roots of the predicted relative abundances, base peak 100
    (convention "scored"; see ``corvane_spectra.scored``).  Each peak's
    annotations are its strongest contributions, strongest first.  It ignores
    ``ring_fragmentation``, ``recursive`` and ``max_generations`` and warns
    (``IgnoredSwitchWarning``) when one is set.

    ``model="schematic"``: corvane's stick spectrum, the
    molecular ion (100) and, at 60, both fragments of every splitting
    soft-bond cut (ring double cuts too with ``ring_fragmentation``), or the
    multi-generation peak table when ``recursive`` is true.  The first
    prediction at an m/z gives the peak its label; later ones are kept as
    further annotations.

    A SMILES that RDKit cannot read or sanitise raises ValueError (see
    ``require_sanitizable``); so does an unknown ``model``.
    """
    return predict_with_vif(smiles, ring_fragmentation, recursive, max_generations, model)[1]


def predict_with_vif(smiles: str, ring_fragmentation: bool = False, recursive: bool = False,
                     max_generations: int = 2, model: str = DEFAULT_MODEL) -> tuple[dict, Spectrum]:
    """``predict`` together with the VIF result record it was built from (one VIF call).

    For callers that want the LPI counts or the soft bonds beside the spectrum,
    such as the batch engine's Parquet rows.  The scored model reads only the
    soft bonds, so its VIF call leaves ring cuts and the cascade off.
    """
    if not isinstance(smiles, str):
        raise TypeError(f"SMILES must be a str, not {type(smiles).__name__}")
    if model not in MODELS:
        raise ValueError(f"unknown model {model!r}: choose one of {', '.join(MODELS)}")
    require_sanitizable(smiles)
    scored = model == "scored"
    if scored:
        from .models import warn_ignored_switches

        warn_ignored_switches("scored", ring_fragmentation=ring_fragmentation, recursive=recursive,
                              max_generations=max_generations != 2)
    import corvane  # here, not at the top: the batch driver and the command's --help never load it

    try:
        r = corvane.VIF(smiles, draw=False, verbose=False, ring_fragmentation=ring_fragmentation and not scored,
                        recursive_ms=recursive and not scored, max_generations=max_generations)
    except MemoryError as e:
        raise MemoryError(f"out of memory analysing {smiles!r}" + (f" ({e})" if str(e) else "")) from None
    if isinstance(r, str):
        raise ValueError(f"unreadable SMILES {smiles!r}: {r}")
    if scored:
        from rdkit import Chem, rdBase

        from .scored import predict_scored

        # One reading of the SMILES serves the candidates and the metadata.
        with rdBase.BlockLogs():
            mol = Chem.MolFromSmiles(smiles)
        return r, with_molecule_metadata(predict_scored(smiles, vif_result=r, mol=mol), smiles, model, mol)
    return r, with_molecule_metadata(spectrum_from_vif(smiles, r, recursive=recursive), smiles, model)


def spectrum_from_vif(smiles: str, r: dict, recursive: bool = False) -> Spectrum:
    """The schematic spectrum of an existing ``VIF(..., draw=False)`` result
    (``recursive``: its multi-generation peak table instead of the cuts)."""
    mol_mass = int(r["mol_mass"])
    peaks: dict[int, list] = {mol_mass: [MOLECULAR_ION_HEIGHT,
                                         [PeakAnnotation(_molecular_formula(smiles), "molecular_ion")]]}

    def add(mz, ann):
        entry = peaks.setdefault(int(mz), [FRAGMENT_HEIGHT, []])
        entry[1].append(ann)

    if recursive:
        for mz, info in r["recursive_peaks"].items():
            if int(mz) != mol_mass:
                add(mz, PeakAnnotation(info["formula"], "recursive", None, int(info["generation"])))
    else:
        for rec in r["real_fragments"]:
            for formula, _mass, nominal in rec["fragments"]:
                add(nominal, PeakAnnotation(formula, rec["mode"], rec["bond"], 1))
    order = sorted(peaks)
    return Spectrum(order, [peaks[m][0] for m in order],
                    {"smiles": smiles, "formula": peaks[mol_mass][1][0].formula},
                    annotations=[peaks[m][1] for m in order], convention="schematic")
