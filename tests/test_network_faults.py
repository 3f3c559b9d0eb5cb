"""PubChem lookup against a misbehaving server: every fault ends the call
promptly with the lookup's ValueError or the HTTP client's / JSON decoder's
own exception, and no answer makes it hold more than a few MB."""

import json
import socket
import threading
import time
import tracemalloc
import zlib

import pytest
import requests

import corvane
from pubchem_server import PREFIX, Endless, Trickle, property_table, smiles_path

# Far below the lookup's default time limit of 20 s: a call that took this
# long did not honour the time limit it was given.
PROMPT = 10.0


def timed(fn, *args, **kwargs):
    start = time.monotonic()
    try:
        return fn(*args, **kwargs)
    finally:
        assert time.monotonic() - start < PROMPT


@pytest.mark.parametrize("status", [500, 502, 204, 301, 201])
def test_status_other_than_200(pubchem_server, status):
    # Valid property tables are refused as well: only 200 counts.
    body = property_table({"CID": 962, "SMILES": "O"}) if status not in (204, 301) else ""
    pubchem_server.add(smiles_path("water"), status, body)
    with pytest.raises(ValueError) as exc:
        timed(corvane.fetch_smiles_from_pubchem, "water", timeout=5)
    assert str(exc.value) == f"PubChem 'water' için sonuç döndürmedi (HTTP {status})"


@pytest.mark.parametrize("body", ["", b"", "   ", b"\xff\xfe\x00", '{"PropertyTable": ', "null extra"])
def test_body_not_json(pubchem_server, body):
    pubchem_server.add(smiles_path("water"), 200, body)
    with pytest.raises(json.JSONDecodeError):
        timed(corvane.fetch_smiles_from_pubchem, "water", timeout=5)


@pytest.mark.parametrize(
    "body, exc",
    [
        ("null", AttributeError),
        ("[1, 2]", AttributeError),
        ('"text"', AttributeError),
        ('{"PropertyTable": []}', AttributeError),
        ('{"PropertyTable": {"Properties": 7}}', TypeError),
        ('{"PropertyTable": {"Properties": ["O"]}}', AttributeError),
    ],
)
def test_json_of_the_wrong_shape(pubchem_server, body, exc):
    pubchem_server.add(smiles_path("water"), 200, body)
    with pytest.raises(exc):
        corvane.fetch_smiles_from_pubchem("water", timeout=5)


# The most body bytes one lookup reads.
CAP = 4 * 1024 * 1024
TOO_BIG = f"PubChem 'water' için yanıt {CAP} baytı aşıyor"


def answer_of_size(size):
    """A valid answer (water first) padded with records to exactly `size` bytes."""
    records = [{"CID": 962, "SMILES": "O"}]
    body = json.dumps(property_table(*records))
    filler = {"CID": 1, "SMILES": ""}
    n = (size - len(body)) // (len(json.dumps(filler)) + 2)
    body = json.dumps(property_table(*records, *[filler] * n))
    pad = size - len(body)
    assert pad >= 0
    return body[:-1] + " " * pad + body[-1:]


@pytest.mark.parametrize("size, ok", [(CAP - 100_000, True), (CAP, True), (CAP + 1, False)])
def test_large_answer_up_to_the_cap(pubchem_server, size, ok):
    body = answer_of_size(size).encode()
    assert len(body) == size
    pubchem_server.add(smiles_path("water"), 200, body)
    if ok:
        assert timed(corvane.fetch_smiles_from_pubchem, "water", timeout=30) == ("O", 962)
    else:
        with pytest.raises(ValueError) as exc:
            timed(corvane.fetch_smiles_from_pubchem, "water", timeout=30)
        assert str(exc.value) == TOO_BIG


@pytest.mark.parametrize("status, body, text", [(500, b"x" * 20_000_000, "HTTP 500"), (200, b"<" * 20_000_000, TOO_BIG)])
def test_huge_failing_answer(pubchem_server, status, body, text):
    # A refused answer's body is never read; an accepted one only up to the cap.
    pubchem_server.add(smiles_path("water"), status, body)
    with pytest.raises(ValueError, match=text):
        timed(corvane.fetch_smiles_from_pubchem, "water", timeout=30)


# ---- answers without bounds: trickled, endless, compressed -----------------

WATER_BODY = json.dumps(property_table({"CID": 962, "SMILES": "O"}))


@pytest.mark.parametrize(
    "timeout, limit",
    [(1, 2.0), ((0.25, 1.5), 1.75)],
)
def test_trickled_answer_ends_at_the_total_time_limit(pubchem_server, timeout, limit):
    # One byte every 0.3 s never trips the read time limit of each wait; the
    # total limit (connect + read) ends the lookup.
    pubchem_server.add(smiles_path("water"), 200, Trickle(WATER_BODY, 0.3))
    start = time.monotonic()
    with pytest.raises(requests.exceptions.Timeout, match="total time limit"):
        corvane.fetch_smiles_from_pubchem("water", timeout=timeout)
    elapsed = time.monotonic() - start
    assert limit - 0.05 <= elapsed < 3 * limit + 1


def test_slow_answer_within_the_time_limit(pubchem_server):
    pubchem_server.add(smiles_path("water"), 200, Trickle(WATER_BODY, 0.005))
    assert corvane.fetch_smiles_from_pubchem("water", timeout=10) == ("O", 962)


def test_no_time_limit_when_asked_for_none(pubchem_server):
    # timeout=None is requests' "wait as long as it takes": no total limit either.
    pubchem_server.add(smiles_path("water"), 200, Trickle(WATER_BODY, 0.02))
    assert corvane.fetch_smiles_from_pubchem("water", timeout=None) == ("O", 962)


def bounded_in_memory(fn, *args, **kwargs):
    """Runs fn; asserts it allocated at most 64 MB of Python objects at once."""
    tracemalloc.start()
    try:
        return timed(fn, *args, **kwargs)
    finally:
        peak = tracemalloc.get_traced_memory()[1]
        tracemalloc.stop()
        assert peak < 64e6, peak


def gzip_bomb(size):
    """`size` bytes of spaces as a gzip stream of about size / 1000 bytes,
    made a megabyte at a time."""
    c = zlib.compressobj(9, zlib.DEFLATED, 31)
    piece = b" " * 1_000_000
    return b"".join(c.compress(piece) for _ in range(size // len(piece))) + c.flush()


@pytest.mark.parametrize(
    "body, headers",
    [
        (Endless(), {}),
        (Endless(chunked=True), {}),
        (Endless(b" " * 65536), {}),
        (gzip_bomb, {"Content-Encoding": "gzip"}),
    ],
    ids=["close-delimited", "chunked", "blank", "gzip-bomb"],
)
def test_endless_body_stops_at_the_cap(pubchem_server, body, headers):
    if body is gzip_bomb:
        body = gzip_bomb(100_000_000)
    path = smiles_path("water")
    pubchem_server.add(path, 200, body, headers)
    with pytest.raises(ValueError) as exc:
        bounded_in_memory(corvane.fetch_smiles_from_pubchem, "water", timeout=5)
    assert str(exc.value) == TOO_BIG
    # The client hung up: what the server got out is the cap plus what the
    # socket buffers hold.
    assert pubchem_server.sent.get(path, 0) < 64e6


@pytest.mark.parametrize("encoding", ["gzip", "deflate"])
def test_compressed_answer(pubchem_server, encoding):
    wbits = 31 if encoding == "gzip" else 15
    c = zlib.compressobj(9, zlib.DEFLATED, wbits)
    body = c.compress(WATER_BODY.encode()) + c.flush()
    pubchem_server.add(smiles_path("water"), 200, body, {"Content-Encoding": encoding})
    assert corvane.fetch_smiles_from_pubchem("water", timeout=5) == ("O", 962)


def test_redirect_body_is_not_read(pubchem_server):
    # The client reads a redirect's whole body before following it; the
    # lookup drops it unread.
    pubchem_server.add(smiles_path("water"), 302, Endless(), {"Location": smiles_path("oxidane")})
    pubchem_server.add_compound("oxidane", {"CID": 962, "SMILES": "O"})
    assert bounded_in_memory(corvane.fetch_smiles_from_pubchem, "water", timeout=5) == ("O", 962)
    assert pubchem_server.paths == [smiles_path("water"), smiles_path("oxidane")]


def test_redirect_loop_ends(pubchem_server):
    pubchem_server.add(smiles_path("water"), 302, "", {"Location": smiles_path("water")})
    with pytest.raises(requests.exceptions.TooManyRedirects):
        timed(corvane.fetch_smiles_from_pubchem, "water", timeout=5)


@pytest.fixture
def silent_server(monkeypatch):
    """Accepts connections and then says nothing (or only part of an answer)."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    conns = []
    state = {"reply": b""}
    stop = threading.Event()

    def serve():
        listener.settimeout(0.05)
        while not stop.is_set():
            try:
                conn, _ = listener.accept()
            except OSError:
                continue
            conns.append(conn)
            if state["reply"]:
                conn.sendall(state["reply"])

    t = threading.Thread(target=serve, daemon=True)
    t.start()
    monkeypatch.setattr(corvane, "PUBCHEM_REST", f"http://127.0.0.1:{listener.getsockname()[1]}{PREFIX}")
    yield state
    stop.set()
    t.join()
    for c in conns:
        c.close()
    listener.close()


def test_server_that_never_answers(silent_server):
    with pytest.raises(requests.exceptions.Timeout):
        timed(corvane.fetch_smiles_from_pubchem, "water", timeout=0.5)


def test_answer_that_stops_half_way(silent_server):
    silent_server["reply"] = b"HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 1000\r\n\r\n{\"Prop"
    # The client reports the stalled body as a time-out wrapped in its
    # connection error.
    with pytest.raises((requests.exceptions.Timeout, requests.exceptions.ConnectionError)):
        timed(corvane.fetch_smiles_from_pubchem, "water", timeout=0.5)


def test_time_out_as_connect_read_pair(silent_server):
    with pytest.raises(requests.exceptions.Timeout):
        timed(corvane.fetch_smiles_from_pubchem, "water", timeout=(2, 0.5))


@pytest.mark.parametrize("timeout, exc", [(-1, ValueError), ("x", ValueError), (float("nan"), ValueError), ([1], ValueError)])
def test_unusable_time_out(pubchem_server, timeout, exc):
    pubchem_server.add_compound("water", {"CID": 962, "SMILES": "O"})
    with pytest.raises(exc):
        corvane.fetch_smiles_from_pubchem("water", timeout=timeout)


def test_refused_connection_is_prompt(monkeypatch, refused_rest):
    monkeypatch.setattr(corvane, "PUBCHEM_REST", refused_rest)
    with pytest.raises(requests.exceptions.ConnectionError):
        timed(corvane.fetch_smiles_from_pubchem, "water")


@pytest.mark.parametrize("rest", ["", "not a url", "ftp://127.0.0.1/x", "http://", None, 42])
def test_unusable_base_url(monkeypatch, rest):
    monkeypatch.setattr(corvane, "PUBCHEM_REST", rest)
    with pytest.raises(requests.exceptions.RequestException):
        timed(corvane.fetch_smiles_from_pubchem, "water", timeout=2)


def test_vif_from_pubchem_fault_prints_nothing(silent_server, capsys, monkeypatch):
    # VIF_from_pubchem always uses the default time limit; a server that stalls
    # past it would take 20 s, so the fault here is a refused answer instead.
    silent_server["reply"] = b"HTTP/1.1 500 Oops\r\nContent-Length: 0\r\n\r\n"
    with pytest.raises(ValueError, match=r"HTTP 500\)$"):
        corvane.VIF_from_pubchem("water", draw=False)
    assert capsys.readouterr().out == ""
