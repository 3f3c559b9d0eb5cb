"""A local stand-in for PubChem's PUG REST service, for tests.

`PubChemServer` serves a dict of raw request path -> (status, body) over HTTP
on 127.0.0.1 (a free port, one thread per request) and records the raw path
of every request it receives.  A body that is a dict or list is sent as JSON,
a str or bytes as it stands; a `Trickle` body is sent a byte at a time, an
`Endless` body never ends (both until the client hangs up or the server
stops).  A route may carry extra headers (a redirect's Location, a
Content-Encoding).  Paths put in `hang` are never answered (until the server
stops), for time-out tests.  Unknown paths get PubChem's 404.  `sent` counts
the body bytes written per path.

Fixtures (register with `pytest_plugins = ["pubchem_server"]` in conftest.py):

    pubchem_server   a running server with corvane.PUBCHEM_REST pointed at it
    refused_rest     a PUBCHEM_REST-style URL on which nothing listens
"""

import json
import socket
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import quote

import pytest

PREFIX = "/rest/pug/compound"

NOT_FOUND = {
    "Fault": {
        "Code": "PUGREST.NotFound",
        "Message": "No CID found",
        "Details": ["No CID found that matches the given name"],
    }
}


class Trickle:
    """A body sent one byte every `delay` seconds (after the headers, which
    go out at once and announce its full length)."""

    def __init__(self, data, delay):
        self.data = data.encode() if isinstance(data, str) else bytes(data)
        self.delay = delay


class Endless:
    """A body without end: `piece` repeated, close-delimited (no length), or
    in chunked transfer coding."""

    def __init__(self, piece=b"x" * 65536, chunked=False):
        self.piece = bytes(piece)
        self.chunked = chunked


def property_table(*records):
    """The JSON answer of a property request with the given records."""
    return {"PropertyTable": {"Properties": list(records)}}


def smiles_path(query, by="name"):
    """The request path of the SMILES lookup of `query` (encoded as one
    segment the way the lookup does it)."""
    return f"{PREFIX}/{by}/{quote(str(query), safe=chr(39) + '!$&()*+,;=:@~')}/property/SMILES/JSON"


class PubChemServer:
    def __init__(self, routes=None):
        self.routes = dict(routes or {})
        self.hang = set()
        self.paths = []
        self.sent = {}
        self._release = threading.Event()
        self._httpd = None
        self._thread = None

    # -- set-up -------------------------------------------------------------
    def add(self, path, status, body, headers=None):
        self.routes[path] = (status, body, dict(headers or {}))

    def add_compound(self, query, *records, by="name", status=200):
        """Answers the SMILES lookup of `query` with a property table."""
        path = smiles_path(query, by)
        self.add(path, status, property_table(*records))
        return path

    @property
    def port(self):
        return self._httpd.server_address[1]

    @property
    def base_url(self):
        """The value to give PUBCHEM_REST."""
        return f"http://127.0.0.1:{self.port}{PREFIX}"

    # -- life cycle ---------------------------------------------------------
    def start(self):
        server = self

        class Handler(BaseHTTPRequestHandler):
            def do_GET(self):
                server.paths.append(self.path)
                if self.path in server.hang:
                    server._release.wait()
                    return
                status, body, headers = server.routes.get(self.path, (404, NOT_FOUND, {}))
                if isinstance(body, Trickle):
                    self._head(status, "application/json", headers, len(body.data))
                    for i in range(len(body.data)):
                        if server._release.wait(body.delay) or not self._send(body.data[i : i + 1]):
                            return
                    return
                if isinstance(body, Endless):
                    if body.chunked:
                        self.protocol_version = "HTTP/1.1"
                        headers = {"Transfer-Encoding": "chunked", **headers}
                        piece = b"%x\r\n%s\r\n" % (len(body.piece), body.piece)
                    else:
                        piece = body.piece
                    self._head(status, "application/json", headers, None)
                    while not server._release.is_set() and self._send(piece):
                        pass
                    return
                if isinstance(body, (dict, list)):
                    data, ctype = json.dumps(body).encode(), "application/json"
                elif isinstance(body, str):
                    data, ctype = body.encode(), "text/plain"
                else:
                    data, ctype = bytes(body), "application/octet-stream"
                self._head(status, ctype, headers, len(data))
                self._send(data)

            def _head(self, status, ctype, headers, length):
                self.send_response(status)
                self.send_header("Content-Type", ctype)
                if length is not None:
                    self.send_header("Content-Length", str(length))
                for k, v in headers.items():
                    self.send_header(k, v)
                self.end_headers()
                self.wfile.flush()

            def _send(self, data):
                """Writes body bytes; False once the client has hung up."""
                try:
                    self.wfile.write(data)
                    self.wfile.flush()
                except OSError:
                    return False
                server.sent[self.path] = server.sent.get(self.path, 0) + len(data)
                return True

            def log_message(self, *args):
                pass

        self._httpd = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self._httpd.daemon_threads = True
        self._thread = threading.Thread(target=self._httpd.serve_forever, args=(0.02,), daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self._release.set()
        if self._httpd is not None:
            self._httpd.shutdown()
            self._httpd.server_close()
            self._thread.join()
            self._httpd = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture
def pubchem_server(monkeypatch):
    import corvane

    with PubChemServer() as server:
        monkeypatch.setattr(corvane, "PUBCHEM_REST", server.base_url)
        yield server


@pytest.fixture
def refused_rest():
    return f"http://127.0.0.1:{free_port()}{PREFIX}"
