// Compound name or CID to SMILES over PubChem's PUG REST service, and VIF on
// the result.
#include "../module/registry.hpp"
#include "pubchem_core.hpp"

#include <string>
#include <string_view>

namespace corvane::pubchem {

namespace {

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

}  // namespace

py::object fetch_smiles_from_pubchem(const Args &a) {
    py::handle query = a[0], by = a[1], timeout = a[2];
    // The HTTP client is needed by this lookup only.
    py::module_ requests = py::module_::import("requests");
    if (!equals(by, "name") && !equals(by, "cid"))
        raise_value_error(py::str("by parametresi 'name' veya 'cid' olmalı"));

    py::str base = text_of(lookup("PUBCHEM_REST"));
    py::str by_text = text_of(by);
    py::str query_text = text_of(query);
    std::string url = smiles_property_url(utf8_of(base), utf8_of(by_text), utf8_of(query_text));
    py::object resp = requests.attr("get")(py::str(url), py::arg("timeout") = timeout);

    py::object status = resp.attr("status_code");
    int failed = PyObject_RichCompareBool(status.ptr(), py::int_(200).ptr(), Py_NE);
    if (failed < 0) throw py::error_already_set();
    if (failed)
        raise_value_error(concat({py::str("PubChem '"), query_text, py::str("' için sonuç döndürmedi (HTTP "),
                                  text_of(status), py::str(")")}));

    py::object data = resp.attr("json")();
    py::object props = data.attr("get")("PropertyTable", py::dict()).attr("get")("Properties", py::list());
    if (!truth(props))
        raise_value_error(concat({py::str("PubChem '"), query_text, py::str("' için boş yanıt döndü")}));

    py::object rec = props[py::int_(0)];
    py::object get = rec.attr("get");
    py::object smiles = get("SMILES");
    if (!truth(smiles)) smiles = get("IsomericSMILES");
    if (!truth(smiles)) smiles = get("ConnectivitySMILES");
    py::object cid = get("CID");
    if (!truth(smiles))
        raise_value_error(concat({py::str("PubChem yanıtında SMILES bulunamadı: "), text_of(rec)}));
    return py::make_tuple(smiles, cid);
}

py::object VIF_from_pubchem(const Args &a) {
    py::handle query = a[0], by = a[1];
    py::object pair = lookup(F_fetch_smiles_from_pubchem)(query, py::arg("by") = by);

    auto [smiles, cid] = unpack<2>(pair);

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
