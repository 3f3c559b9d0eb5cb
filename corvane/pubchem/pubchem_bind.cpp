// Compound name or CID to SMILES over PubChem's PUG REST service, and VIF on
// the result.
//
// The service's answer is input from the network and is bounded: the whole
// lookup has a total time limit (the connection time limit plus the read time
// limit of `timeout`), checked when each response's headers have arrived and
// before every read of the body; a body may hold at most kMaxBodyBytes after
// decoding; a redirect's body is never read; and the chosen SMILES and the
// CID must have the types the service documents.
#include "../module/registry.hpp"
#include "pubchem_core.hpp"

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace corvane::pubchem {

namespace {

using Clock = std::chrono::steady_clock;

// str(obj), kept alive by the returned object.
py::str text_of(py::handle obj) {
    PyObject *s = PyObject_Str(obj.ptr());
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(s);
}

std::string_view utf8_of(const py::str &s) {
    Py_ssize_t n = 0;
    const char *p = PyUnicode_AsUTF8AndSize(s.ptr(), &n);
    if (!p) throw py::error_already_set();
    return {p, static_cast<std::size_t>(n)};
}

bool equals(py::handle a, const char *s) { return equal(a, py::str(s)); }

[[noreturn]] void raise_value_error(const py::str &msg) {
    PyErr_SetObject(PyExc_ValueError, msg.ptr());
    throw py::error_already_set();
}

py::str concat(std::initializer_list<py::handle> parts) {
    py::str out("");
    for (py::handle p : parts) {
        PyObject *joined = PyUnicode_Concat(out.ptr(), p.ptr());
        if (!joined) throw py::error_already_set();
        out = py::reinterpret_steal<py::str>(joined);
    }
    return out;
}

// repr(obj), cut to about 200 characters: a value from the network quoted in
// a message.
py::str short_repr(py::handle obj) {
    py::str r = steal(PyObject_Repr(obj.ptr()));
    constexpr Py_ssize_t kLimit = 200;
    if (PyUnicode_GetLength(r.ptr()) <= kLimit) return r;
    py::str head = steal(PyUnicode_Substring(r.ptr(), 0, kLimit));
    return concat({head, py::str("...")});
}

// A SMILES that is not a string, or that holds a character str.isprintable()
// refuses (controls, format characters such as bidirectional overrides,
// separators other than the space, surrogates), is a malformed answer: a
// SMILES is printable ASCII, and such a character printed to a terminal could
// forge or hide output.  `what` names where the value came from.
void check_smiles_text(py::handle smiles, const char *what) {
    if (!PyUnicode_Check(smiles.ptr()))
        raise_value_error(concat({py::str(what), py::str(" bir metin değil: "), short_repr(smiles)}));
    if (!truth(smiles.attr("isprintable")()))
        raise_value_error(concat({py::str(what), py::str(" yazdırılamayan karakter içeriyor: "), short_repr(smiles)}));
}

// ---- time limit ---------------------------------------------------------------

// Seconds of one part of requests' `timeout`; nullopt when the part is
// unbounded (None) or not a number requests would take.
std::optional<double> seconds_of(py::handle part) {
    if (part.is_none() || PyBool_Check(part.ptr())) return std::nullopt;
    const double s = PyFloat_AsDouble(part.ptr());
    if (s == -1.0 && PyErr_Occurred()) {
        // requests itself refuses such a value, with its own error.
        PyErr_Clear();
        return std::nullopt;
    }
    return s;
}

// Connection plus read time limit of `timeout`, read the way requests reads
// it: a (connect, read) pair, urllib3's Timeout object, or one number that
// bounds both.
std::optional<double> lookup_time_limit(py::handle timeout) {
    if (PyTuple_Check(timeout.ptr())) {
        if (PyTuple_GET_SIZE(timeout.ptr()) != 2) return std::nullopt;
        return total_time_limit(seconds_of(PyTuple_GET_ITEM(timeout.ptr(), 0)),
                                seconds_of(PyTuple_GET_ITEM(timeout.ptr(), 1)));
    }
    py::object timeout_type = py::module_::import("urllib3").attr("Timeout");
    const int is_timeout = PyObject_IsInstance(timeout.ptr(), timeout_type.ptr());
    if (is_timeout < 0) raise();
    if (is_timeout)
        return total_time_limit(seconds_of(timeout.attr("connect_timeout")), seconds_of(timeout.attr("read_timeout")));
    const std::optional<double> s = seconds_of(timeout);
    return total_time_limit(s, s);
}

// The total time limit of one lookup, from the moment it starts.
struct Deadline {
    std::optional<Clock::time_point> at;
    double seconds = 0.0;
    py::object read_timeout;  // requests.exceptions.ReadTimeout

    // Raises ReadTimeout (after closing `resp`) once the time is up.
    void check(py::handle resp) const {
        if (!at || Clock::now() < *at) return;
        try {
            resp.attr("close")();
        } catch (py::error_already_set &) {
        }
        char msg[160];
        std::snprintf(msg, sizeof msg,
                      "Read timed out: the PubChem lookup did not finish within its total time limit of %g s "
                      "(connect + read)",
                      seconds);
        PyErr_SetObject(read_timeout.ptr(), read_timeout(py::str(msg)).ptr());
        raise();
    }
};

// ---- the response ---------------------------------------------------------------

// Closes a streamed response when the lookup ends, however it ends, so no
// connection outlives the call.
struct CloseOnExit {
    py::object resp;
    ~CloseOnExit() {
        if (!resp) return;
        // Keep a pending error across the close.
        PyObject *type, *value, *tb;
        PyErr_Fetch(&type, &value, &tb);
        PyObject *r = PyObject_CallMethod(resp.ptr(), "close", nullptr);
        Py_XDECREF(r);
        PyErr_Clear();
        PyErr_Restore(type, value, tb);
    }
};

// Raises `cls(e)` with `e` as its cause: urllib3's errors as requests
// reports them.
[[noreturn]] void reraise_as(py::error_already_set &e, py::handle cls) {
    py::object cause = e.value();
    py::object exc = py::reinterpret_borrow<py::object>(cls)(cause);
    PyException_SetCause(exc.ptr(), cause.release().ptr());
    PyErr_SetObject(cls.ptr(), exc.ptr());
    raise();
}

// The body of a streamed response, read in pieces of whatever has arrived,
// decoded as requests decodes it, within the deadline and kMaxBodyBytes.
py::bytes read_body(py::handle resp, const Deadline &deadline, py::handle query_text, py::handle requests) {
    py::object raw = resp.attr("raw");
    py::object read1 = raw.attr("read1");
    py::object u3 = py::module_::import("urllib3.exceptions");
    py::object rex = requests.attr("exceptions");
    py::list chunks;
    std::size_t total = 0;
    constexpr std::size_t kPiece = 64 * 1024;
    for (;;) {
        deadline.check(resp);
        py::object data;
        try {
            data = read1(py::int_(kPiece), py::arg("decode_content") = true);
        } catch (py::error_already_set &e) {
            if (e.matches(u3.attr("ReadTimeoutError"))) reraise_as(e, rex.attr("ReadTimeout"));
            if (e.matches(u3.attr("ProtocolError"))) reraise_as(e, rex.attr("ChunkedEncodingError"));
            if (e.matches(u3.attr("DecodeError"))) reraise_as(e, rex.attr("ContentDecodingError"));
            if (e.matches(u3.attr("SSLError"))) reraise_as(e, rex.attr("SSLError"));
            throw;
        }
        const Py_ssize_t n = PyBytes_Size(data.ptr());
        if (n < 0) raise();
        if (n == 0) break;
        total += static_cast<std::size_t>(n);
        if (total > kMaxBodyBytes)
            raise_value_error(concat({py::str("PubChem '"), query_text, py::str("' için yanıt "),
                                      py::str(std::to_string(kMaxBodyBytes)), py::str(" baytı aşıyor")}));
        chunks.append(data);
    }
    return py::bytes("").attr("join")(chunks);
}

}  // namespace

py::object fetch_smiles_from_pubchem(const Args &a) {
    py::handle query = a[0], by = a[1], timeout = a[2];
    const Clock::time_point start = Clock::now();
    // The HTTP client is needed by this lookup only.
    py::module_ requests = py::module_::import("requests");
    if (!equals(by, "name") && !equals(by, "cid"))
        raise_value_error(py::str("by parametresi 'name' veya 'cid' olmalı"));

    py::str base = text_of(lookup("PUBCHEM_REST"));
    py::str by_text = text_of(by);
    py::str query_text = text_of(query);
    std::string url = smiles_property_url(utf8_of(base), utf8_of(by_text), utf8_of(query_text));

    Deadline deadline;
    if (std::optional<double> limit = lookup_time_limit(timeout)) {
        deadline.seconds = *limit;
        deadline.at = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*limit));
    }
    deadline.read_timeout = requests.attr("exceptions").attr("ReadTimeout");
    // Every response, redirects included, passes here as soon as its headers
    // have arrived: the time limit is checked, and a redirect's body, which
    // the client would otherwise read whole before following it, is dropped.
    py::cpp_function on_response([deadline](py::object r, py::args, py::kwargs) {
        if (truth(r.attr("is_redirect"))) r.attr("raw").attr("close")();
        deadline.check(r);
    });
    py::dict hooks;
    hooks["response"] = on_response;
    CloseOnExit guard{requests.attr("get")(py::str(url), py::arg("timeout") = timeout, py::arg("stream") = true,
                                           py::arg("hooks") = hooks)};
    py::object &resp = guard.resp;

    py::object status = resp.attr("status_code");
    int failed = PyObject_RichCompareBool(status.ptr(), py::int_(200).ptr(), Py_NE);
    if (failed < 0) throw py::error_already_set();
    if (failed)
        raise_value_error(concat({py::str("PubChem '"), query_text, py::str("' için sonuç döndürmedi (HTTP "),
                                  text_of(status), py::str(")")}));

    // The body, bounded, handed back to the response for its own JSON decoding
    // (encoding detection and error types as requests gives them).
    py::bytes body = read_body(resp, deadline, query_text, requests);
    resp.attr("close")();
    resp.attr("raw") = py::module_::import("io").attr("BytesIO")(body);
    py::object data = resp.attr("json")();

    py::object props = data.attr("get")("PropertyTable", py::dict()).attr("get")("Properties", py::list());
    if (!truth(props))
        raise_value_error(concat({py::str("PubChem '"), query_text, py::str("' için boş yanıt döndü")}));

    py::object rec = props[py::int_(0)];
    py::object get = rec.attr("get");
    py::object smiles = py::none();
    for (const char *key : {"SMILES", "IsomericSMILES", "ConnectivitySMILES"}) {
        py::object v = get(key);
        // Absent (or null) and empty fall through to the next choice; any
        // other value must be the SMILES text.
        if (v.is_none() || (PyUnicode_Check(v.ptr()) && PyUnicode_GET_LENGTH(v.ptr()) == 0)) continue;
        check_smiles_text(v, (std::string("PubChem yanıtındaki ") + key).c_str());
        smiles = v;
        break;
    }
    py::object cid = get("CID");
    if (smiles.is_none())
        raise_value_error(concat({py::str("PubChem yanıtında SMILES bulunamadı: "), text_of(rec)}));
    // The CID is printed by VIF_from_pubchem: an integer, or none.
    if (!cid.is_none() && (!PyLong_Check(cid.ptr()) || PyBool_Check(cid.ptr())))
        raise_value_error(concat({py::str("PubChem yanıtındaki CID bir tamsayı değil: "), short_repr(cid)}));
    return py::make_tuple(smiles, cid);
}

py::object VIF_from_pubchem(const Args &a) {
    py::handle query = a[0], by = a[1];
    py::object pair = lookup(F_fetch_smiles_from_pubchem)(query, py::arg("by") = by);

    auto [smiles, cid] = unpack<2>(pair);
    // Whatever the lookup function bound now gives, only SMILES text is
    // printed and handed on.
    check_smiles_text(smiles, "PubChem sorgusunun SMILES değeri");

    printer()(concat({py::str("[PubChem] '"), text_of(query), py::str("' -> CID "), text_of(cid),
                      py::str(" -> SMILES: "), text_of(smiles)}));

    py::object vif = lookup(F_VIF);
    py::tuple args = py::make_tuple(smiles);
    py::dict kwargs = a.extra ? py::reinterpret_borrow<py::dict>(a.extra) : py::dict();
    PyObject *r = PyObject_Call(vif.ptr(), args.ptr(), kwargs.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

}  // namespace corvane::pubchem
