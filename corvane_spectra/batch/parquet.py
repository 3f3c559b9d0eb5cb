"""Parquet output: one row per molecule with its spectrum and VIF analysis.

Columns: ``record`` (position in the input, from 0), ``identifier``,
``name`` (the input's name, else the SMILES), ``model`` and ``convention``
(which predictor made the peaks and how their heights are scaled), ``smiles``, ``formula``, ``mol_mass`` (nominal, the molecular-ion m/z),
``mol_mass_avg``, the LPI counts ``lpi_pos``/``lpi_zero``/``lpi_neg``
(n+, n0, n-), ``soft_bonds`` (list of the soft chemical bonds: atom indices,
symbols, order, bond unit) and ``peaks`` (list of m/z, intensity and the
annotations of each peak: formula, mode, bond, generation).
"""
from __future__ import annotations

import io


def row(rec, smiles: str, vif: dict, spectrum) -> dict:
    """The row of one molecule (plain Python values; the worker builds it)."""
    lpi = vif["lpi"]
    peaks = []
    for i, (mz, inten) in enumerate(zip(spectrum.mz.tolist(), spectrum.intensity.tolist())):
        anns = spectrum.annotations[i] if spectrum.annotations is not None else []
        peaks.append({"mz": int(mz), "intensity": float(inten), "annotations": [
            {"formula": a.formula, "mode": a.mode, "bond": a.bond, "generation": int(a.generation)}
            for a in anns]})
    return {
        "record": int(rec.seq),
        "identifier": rec.ident,
        "name": spectrum.metadata.get("name") or smiles,
        "model": spectrum.metadata.get("model"),
        "convention": spectrum.convention,
        "smiles": smiles,
        "formula": spectrum.metadata.get("formula"),
        "mol_mass": int(vif["mol_mass"]),
        "mol_mass_avg": float(vif["mol_mass_avg"]),
        "lpi_pos": int(lpi["n+"]),
        "lpi_zero": int(lpi["n0"]),
        "lpi_neg": int(lpi["n-"]),
        "soft_bonds": [{"atom_u": int(b["atom_u"]), "atom_v": int(b["atom_v"]), "sym_u": str(b["sym_u"]),
                        "sym_v": str(b["sym_v"]), "order": int(b["order"]), "k": int(b["k"])}
                       for b in vif["soft_bonds"]],
        "peaks": peaks,
    }


def schema():
    import pyarrow as pa

    annotation = pa.struct([("formula", pa.string()), ("mode", pa.string()), ("bond", pa.string()),
                            ("generation", pa.int16())])
    peak = pa.struct([("mz", pa.int32()), ("intensity", pa.float64()),
                      ("annotations", pa.list_(annotation))])
    soft = pa.struct([("atom_u", pa.int32()), ("atom_v", pa.int32()), ("sym_u", pa.string()),
                      ("sym_v", pa.string()), ("order", pa.int8()), ("k", pa.int8())])
    return pa.schema([
        ("record", pa.int64()), ("identifier", pa.string()), ("name", pa.string()), ("model", pa.string()),
        ("convention", pa.string()), ("smiles", pa.string()),
        ("formula", pa.string()), ("mol_mass", pa.int32()), ("mol_mass_avg", pa.float64()),
        ("lpi_pos", pa.int32()), ("lpi_zero", pa.int32()), ("lpi_neg", pa.int32()),
        ("soft_bonds", pa.list_(soft)), ("peaks", pa.list_(peak)),
    ])


def shard_bytes(rows: list[dict]) -> bytes:
    """One shard: a Parquet file of the rows, in the given order (deterministic bytes)."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    table = pa.Table.from_pylist(rows, schema=schema())
    buf = io.BytesIO()
    pq.write_table(table, buf, compression="zstd")
    return buf.getvalue()


def assemble(shard_paths, out) -> None:
    """Write the shards' rows into one Parquet file (one row group per non-empty shard)."""
    import pyarrow.parquet as pq

    with pq.ParquetWriter(out, schema(), compression="zstd") as writer:
        for path in shard_paths:
            table = pq.read_table(path, schema=schema())
            if table.num_rows:
                writer.write_table(table)
