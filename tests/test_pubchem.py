import json
import os
import re
import sys

import pytest
import requests

import corvane
from pubchem_server import PREFIX, property_table, smiles_path

WATER = {"CID": 962, "SMILES": "O"}
TAIL = "/property/SMILES/JSON"


def only_path(server):
    assert len(server.paths) == 1
    return server.paths[0]


@pytest.mark.parametrize(
    "query, by, segment",
    [
        ("water", "name", "water"),
        ("lactic acid", "name", "lactic%20acid"),
        (962, "cid", "962"),
        ("962", "cid", "962"),
        ("2,4-dinitrophenol", "name", "2,4-dinitrophenol"),
        ("(+)-camphor", "name", "(+)-camphor"),
        ("N'-methylurea", "name", "N'-methylurea"),
        ("[18F]fluorodeoxyglucose", "name", "%5B18F%5Dfluorodeoxyglucose"),
        ("β-carotene", "name", "%CE%B2-carotene"),
    ],
)
def test_request_path(pubchem_server, query, by, segment):
    path = f"{PREFIX}/{by}/{segment}{TAIL}"
    pubchem_server.add(path, 200, property_table(WATER))
    assert corvane.fetch_smiles_from_pubchem(query, by=by) == ("O", 962)
    assert only_path(pubchem_server) == path


@pytest.mark.parametrize(
    "query, segment",
    [
        ("a/b", "a%2Fb"),
        ("../../cid/962", "..%2F..%2Fcid%2F962"),
        ("water?x=1", "water%3Fx=1"),
        ("water#frag", "water%23frag"),
        ("50%", "50%25"),
        ("%41", "%2541"),
        ("tab\there", "tab%09here"),
        # The client turns %2E back into a dot but no longer drops the
        # segment: the query still takes the place of exactly one segment.
        ("..", ".."),
        (".", "."),
    ],
)
def test_query_is_one_path_segment(pubchem_server, query, segment):
    path = f"{PREFIX}/name/{segment}{TAIL}"
    pubchem_server.add(path, 200, property_table(WATER))
    assert corvane.fetch_smiles_from_pubchem(query) == ("O", 962)
    assert only_path(pubchem_server) == path


@pytest.mark.parametrize(
    "name",
    ["a b!$&'()*+,;=:@~-._Zz09", "é[]{}|^`<>\"\\", "ascorbic acid", "1,3-dimethyl-7H-purine-2,6-dione"],
)
def test_plain_names_go_out_as_before(pubchem_server, name):
    # Without "/", "?", "#" or "%" a name must reach the server exactly as
    # the HTTP client sends it when given the name unescaped.
    with pytest.raises(ValueError):
        corvane.fetch_smiles_from_pubchem(name)
    unescaped = requests.Request("GET", f"http://h{PREFIX}/name/{name}{TAIL}").prepare()
    assert only_path(pubchem_server) == unescaped.path_url


@pytest.mark.parametrize("by", ["smiles", "Name", "CID", None])
def test_bad_namespace_makes_no_request(pubchem_server, by):
    with pytest.raises(ValueError) as exc:
        corvane.fetch_smiles_from_pubchem("water", by=by)
    assert str(exc.value) == "by parametresi 'name' veya 'cid' olmalı"
    assert pubchem_server.paths == []


@pytest.mark.parametrize(
    "status, body, text",
    [
        (404, {"Fault": {"Code": "PUGREST.NotFound"}}, "PubChem 'nosuch' için sonuç döndürmedi (HTTP 404)"),
        (503, "busy", "PubChem 'nosuch' için sonuç döndürmedi (HTTP 503)"),
        (200, property_table(), "PubChem 'nosuch' için boş yanıt döndü"),
        (200, {"PropertyTable": {}}, "PubChem 'nosuch' için boş yanıt döndü"),
        (200, {"Other": 1}, "PubChem 'nosuch' için boş yanıt döndü"),
        (
            200,
            property_table({"CID": 5, "SMILES": "", "IsomericSMILES": None}),
            "PubChem yanıtında SMILES bulunamadı: {'CID': 5, 'SMILES': '', 'IsomericSMILES': None}",
        ),
    ],
)
def test_lookup_failures(pubchem_server, status, body, text):
    pubchem_server.add(smiles_path("nosuch"), status, body)
    with pytest.raises(ValueError) as exc:
        corvane.fetch_smiles_from_pubchem("nosuch")
    assert str(exc.value) == text
    assert type(exc.value) is ValueError


@pytest.mark.parametrize(
    "records, expected",
    [
        ([{"CID": 1, "ConnectivitySMILES": "CC"}], ("CC", 1)),
        ([{"CID": 2, "SMILES": "", "IsomericSMILES": "C[C@H](N)O", "ConnectivitySMILES": "CC(N)O"}], ("C[C@H](N)O", 2)),
        ([{"CID": 3, "SMILES": "", "IsomericSMILES": "", "ConnectivitySMILES": "N"}], ("N", 3)),
        ([{"SMILES": "O"}], ("O", None)),
        ([{"CID": 10, "SMILES": "C"}, {"CID": 11, "SMILES": "CC"}], ("C", 10)),
    ],
)
def test_smiles_choice(pubchem_server, records, expected):
    pubchem_server.add_compound("thing", *records)
    result = corvane.fetch_smiles_from_pubchem("thing")
    assert type(result) is tuple
    assert result == expected


@pytest.mark.parametrize(
    "record, text",
    [
        ({"CID": 1, "SMILES": 5}, "PubChem yanıtındaki SMILES bir metin değil: 5"),
        ({"CID": 1, "SMILES": 0, "IsomericSMILES": "O"}, "PubChem yanıtındaki SMILES bir metin değil: 0"),
        ({"CID": 1, "SMILES": ["O"]}, "PubChem yanıtındaki SMILES bir metin değil: ['O']"),
        ({"CID": 1, "SMILES": {"x": "O"}}, "PubChem yanıtındaki SMILES bir metin değil: {'x': 'O'}"),
        ({"CID": 1, "SMILES": True}, "PubChem yanıtındaki SMILES bir metin değil: True"),
        ({"CID": 1, "SMILES": "", "IsomericSMILES": 7.5}, "PubChem yanıtındaki IsomericSMILES bir metin değil: 7.5"),
        ({"CID": 1, "ConnectivitySMILES": [1] * 500}, "PubChem yanıtındaki ConnectivitySMILES bir metin değil: " + repr([1] * 500)[:200] + "..."),
        ({"CID": 1, "SMILES": "O\n[PubChem] 'x' -> CID 2 -> SMILES: C"}, "PubChem yanıtındaki SMILES yazdırılamayan karakter içeriyor: \"O\\n[PubChem] 'x' -> CID 2 -> SMILES: C\""),
        ({"CID": 1, "SMILES": "O\x1b[2K"}, "PubChem yanıtındaki SMILES yazdırılamayan karakter içeriyor: 'O\\x1b[2K'"),
        ({"CID": 1, "SMILES": "CC\u202eO"}, "PubChem yanıtındaki SMILES yazdırılamayan karakter içeriyor: 'CC\\u202eO'"),
        ({"CID": 1, "SMILES": "C\ud800"}, "PubChem yanıtındaki SMILES yazdırılamayan karakter içeriyor: 'C\\ud800'"),
        ({"CID": 1, "SMILES": "C\u00a0C"}, "PubChem yanıtındaki SMILES yazdırılamayan karakter içeriyor: 'C\\xa0C'"),
        ({"CID": "962\nfake", "SMILES": "O"}, "PubChem yanıtındaki CID bir tamsayı değil: '962\\nfake'"),
        ({"CID": True, "SMILES": "O"}, "PubChem yanıtındaki CID bir tamsayı değil: True"),
        ({"CID": 962.0, "SMILES": "O"}, "PubChem yanıtındaki CID bir tamsayı değil: 962.0"),
    ],
)
def test_malformed_record(pubchem_server, monkeypatch, capsys, record, text):
    pubchem_server.add_compound("thing", record)
    with pytest.raises(ValueError) as exc:
        corvane.fetch_smiles_from_pubchem("thing")
    assert str(exc.value) == text
    assert type(exc.value) is ValueError
    # Nothing is printed and nothing reaches VIF (nor RDKit).
    vif = RecordingVIF()
    monkeypatch.setattr(corvane, "VIF", vif)
    with pytest.raises(ValueError, match="^" + re.escape(text) + "$"):
        corvane.VIF_from_pubchem("thing")
    assert vif.calls == []
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("smiles", [5, None, b"O", ["O"], "O\r\nC"])
def test_vif_from_pubchem_refuses_what_is_not_smiles_text(monkeypatch, capsys, smiles):
    # Whatever fetch_smiles_from_pubchem is bound to, only SMILES text is
    # printed and handed to VIF.
    monkeypatch.setattr(corvane, "fetch_smiles_from_pubchem", lambda query, by="name": (smiles, 1))
    vif = RecordingVIF()
    monkeypatch.setattr(corvane, "VIF", vif)
    with pytest.raises(ValueError, match="^PubChem sorgusunun SMILES değeri (bir metin değil|yazdırılamayan karakter içeriyor): "):
        corvane.VIF_from_pubchem("x")
    assert vif.calls == []
    assert capsys.readouterr().out == ""


def test_time_out(pubchem_server):
    pubchem_server.hang.add(smiles_path("slow"))
    with pytest.raises(requests.exceptions.Timeout):
        corvane.fetch_smiles_from_pubchem("slow", "name", 0.5)


def test_refused_connection(monkeypatch, refused_rest):
    monkeypatch.setattr(corvane, "PUBCHEM_REST", refused_rest)
    with pytest.raises(requests.exceptions.ConnectionError):
        corvane.fetch_smiles_from_pubchem("water", timeout=5)


def test_body_not_json(pubchem_server):
    pubchem_server.add(smiles_path("water"), 200, "<html>maintenance</html>")
    with pytest.raises(json.JSONDecodeError):
        corvane.fetch_smiles_from_pubchem("water")


def test_works_only_with_requests(monkeypatch, pubchem_server):
    pubchem_server.add_compound("water", WATER)
    monkeypatch.setitem(sys.modules, "requests", None)
    with pytest.raises(ImportError):
        corvane.fetch_smiles_from_pubchem("water")
    monkeypatch.undo()
    monkeypatch.setattr(corvane, "PUBCHEM_REST", pubchem_server.base_url)
    assert corvane.fetch_smiles_from_pubchem("water") == ("O", 962)


class RecordingVIF:
    def __init__(self):
        self.calls = []

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return {"result": len(self.calls)}


@pytest.mark.parametrize(
    "record, cid_text",
    [(WATER, "962"), ({"SMILES": "O"}, "None")],
)
def test_vif_from_pubchem(pubchem_server, monkeypatch, capsys, record, cid_text):
    pubchem_server.add_compound("water", record)
    vif = RecordingVIF()
    monkeypatch.setattr(corvane, "VIF", vif)
    out = corvane.VIF_from_pubchem("water", draw=False, verbose=False, bond_kappa=0.5)
    assert out == {"result": 1}
    assert vif.calls == [(("O",), {"draw": False, "verbose": False, "bond_kappa": 0.5})]
    assert capsys.readouterr().out == f"[PubChem] 'water' -> CID {cid_text} -> SMILES: O\n"


def test_vif_from_pubchem_uses_current_lookup(monkeypatch, capsys):
    seen = []

    def fake_fetch(query, by="name", timeout=20):
        seen.append((query, by, timeout))
        return ["CCO", 702]

    vif = RecordingVIF()
    monkeypatch.setattr(corvane, "fetch_smiles_from_pubchem", fake_fetch)
    monkeypatch.setattr(corvane, "VIF", vif)
    corvane.VIF_from_pubchem(702, "cid")
    assert seen == [(702, "cid", 20)]
    assert vif.calls == [(("CCO",), {})]
    assert capsys.readouterr().out == "[PubChem] '702' -> CID 702 -> SMILES: CCO\n"


def test_vif_from_pubchem_failure_prints_nothing(pubchem_server, monkeypatch, capsys):
    vif = RecordingVIF()
    monkeypatch.setattr(corvane, "VIF", vif)
    with pytest.raises(ValueError, match="HTTP 404"):
        corvane.VIF_from_pubchem("nosuch")
    assert vif.calls == []
    assert capsys.readouterr().out == ""


@pytest.mark.skipif(os.environ.get("CORVANE_LIVE_PUBCHEM") != "1", reason="set CORVANE_LIVE_PUBCHEM=1 to query PubChem")
def test_live_water():
    assert corvane.fetch_smiles_from_pubchem("water") == ("O", 962)
