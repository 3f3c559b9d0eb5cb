"""A local stand-in for PubChem's PUG REST service, for tests.

`PubChemServer` serves a dict of raw request path -> (status, body) over HTTP
on 127.0.0.1 (a free port, one thread per request) and records the raw path
of every request it receives.  A body that is a dict or list is sent as JSON,
a str or bytes as it stands.  Paths put in `hang` are never answered (until
the server stops), for time-out tests.  Unknown paths get PubChem's 404.

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
        self._release = threading.Event()
        self._httpd = None
        self._thread = None

    # -- set-up -------------------------------------------------------------
    def add(self, path, status, body):
        self.routes[path] = (status, body)

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
                status, body = server.routes.get(self.path, (404, NOT_FOUND))
                if isinstance(body, (dict, list)):
                    data, ctype = json.dumps(body).encode(), "application/json"
                elif isinstance(body, str):
                    data, ctype = body.encode(), "text/plain"
                else:
                    data, ctype = bytes(body), "application/octet-stream"
                self.send_response(status)
                self.send_header("Content-Type", ctype)
                self.send_header("Content-Length", str(len(data)))
                self.end_headers()
                self.wfile.write(data)

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
