// Bindings of the spectrum readers: the parser's plain records become
// Spectrum objects (numpy arrays built directly from the parsed peaks).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "../../corvane/module/gil.hpp"
#include "io_core.hpp"

namespace py = pybind11;

namespace corvane::spectra {

namespace {

py::str decode(const std::string &s) {
    PyObject *o = PyUnicode_DecodeUTF8(s.data(), Py_ssize_t(s.size()), "replace");
    if (!o) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(o);
}

// A parser feeds without the interpreter lock: a second thread calling it
// meanwhile is refused instead of racing on its state.
class Busy {
public:
    explicit Busy(std::atomic<bool> &flag) : flag_(flag) {
        if (flag_.exchange(true)) throw std::runtime_error("this parser is in use by another thread");
    }
    ~Busy() { flag_.store(false); }
    Busy(const Busy &) = delete;
    Busy &operator=(const Busy &) = delete;

private:
    std::atomic<bool> &flag_;
};

class TextParser {
public:
    TextParser(const std::string &fmt, double max_mz, size_t max_line) : parser_(format_of(fmt), max_mz, max_line) {
        py::module_ sp = py::module_::import("corvane_spectra.spectrum");
        spectrum_ = sp.attr("Spectrum");
        // The parsed peaks are already sorted, unique and typed: the
        // spectrum skips the checks of its constructor.
        trusted_ = spectrum_.attr("_trusted");
        annotation_ = sp.attr("PeakAnnotation");
    }

    // A parser reads one stream in order: a second thread feeding it while
    // the first parses (without the interpreter lock) is refused.
    // Both calls run Python (the spectra's constructor) while holding
    // references: inside the scope, interpreter exit waits for them.
    py::list feed(const py::object &chunk) {
        gil::CallScope inside;
        Busy busy(busy_);
        std::vector<io::Item> items;
        if (PyBytes_Check(chunk.ptr())) {
            char *data = nullptr;
            Py_ssize_t n = 0;
            if (PyBytes_AsStringAndSize(chunk.ptr(), &data, &n) < 0) throw py::error_already_set();
            gil::Release nogil;
            parser_.feed(std::string_view(data, size_t(n)), items);
        } else if (PyUnicode_Check(chunk.ptr())) {
            Py_ssize_t n = 0;
            const char *data = PyUnicode_AsUTF8AndSize(chunk.ptr(), &n);
            if (!data) throw py::error_already_set();
            parser_.feed(std::string_view(data, size_t(n)), items);
        } else {
            throw py::type_error("feed() takes bytes or str, not " +
                                 std::string(Py_TYPE(chunk.ptr())->tp_name));
        }
        return convert(items);
    }

    py::list finish() {
        gil::CallScope inside;
        Busy busy(busy_);
        std::vector<io::Item> items;
        parser_.finish(items);
        return convert(items);
    }

    long merged_peaks() const { return merged_; }
    long lines() {
        Busy busy(busy_);
        return parser_.lines();
    }

private:

    static io::Format format_of(const std::string &fmt) {
        if (fmt == "msp") return io::Format::Msp;
        if (fmt == "mgf") return io::Format::Mgf;
        if (fmt == "massbank") return io::Format::MassBank;
        throw py::value_error("no text parser for the format '" + fmt + "'");
    }

    py::list convert(std::vector<io::Item> &items) {
        py::list out;
        for (auto &item : items) {
            if (!item.ok) {
                out.append(py::make_tuple(item.line, decode(item.reason)));
                continue;
            }
            out.append(spectrum(item.record));
        }
        return out;
    }

    py::object spectrum(io::Record &r) {
        merged_ += r.merged;
        size_t n = r.mz.size();
        py::array_t<int64_t> mz(static_cast<py::ssize_t>(n));
        py::array_t<double> inten(static_cast<py::ssize_t>(n));
        if (n) {
            std::memcpy(mz.mutable_data(), r.mz.data(), n * sizeof(int64_t));
            std::memcpy(inten.mutable_data(), r.intensity.data(), n * sizeof(double));
        }
        py::dict md;
        py::list synonyms;
        for (const auto &[key, value] : r.fields) {
            if (key == "synonyms")
                synonyms.append(decode(value));
            else
                md[decode(key)] = decode(value);
        }
        if (py::len(synonyms)) md["synonyms"] = synonyms;
        py::object annotations = py::none();
        if (!r.comments.empty()) {
            py::list per_peak;
            std::vector<io::Annotation> anns;
            bool all = true;
            for (const auto &c : r.comments) {
                py::list lst;
                if (!c.empty()) {
                    if (!io::parse_annotations(c, anns)) {
                        all = false;
                        break;
                    }
                    for (const auto &a : anns)
                        lst.append(annotation_(decode(a.formula), decode(a.mode),
                                               a.bond.empty() ? py::object(py::none()) : py::object(decode(a.bond)),
                                               a.generation));
                }
                per_peak.append(lst);
            }
            if (all) {
                annotations = per_peak;
            } else {
                // Comments that are not annotations are kept as they are.
                py::list raw;
                for (size_t i = 0; i < n; ++i)
                    if (!r.comments[i].empty()) raw.append(py::make_tuple(r.mz[i], decode(r.comments[i])));
                md["peak_comments"] = raw;
            }
        }
        py::object convention = r.has_convention ? py::object(decode(r.convention)) : py::object(py::none());
        return trusted_(mz, inten, md, annotations, convention);
    }

    io::Parser parser_;
    py::object spectrum_;
    py::object trusted_;
    py::object annotation_;
    long merged_ = 0;
    std::atomic<bool> busy_{false};
};

}  // namespace

void bind_io(py::module_ &m) {
    py::class_<TextParser>(m, "TextParser",
                           "Streaming parser of MSP, MGF or MassBank text: feed() it chunks (bytes or str) and "
                           "it returns the spectra finished so far, with a (line, reason) tuple for each bad record.")
        .def(py::init<const std::string &, double, size_t>(), py::arg("fmt"), py::arg("max_mz"), py::arg("max_line"))
        .def("feed", &TextParser::feed, py::arg("chunk"))
        .def("finish", &TextParser::finish)
        .def_property_readonly("merged_peaks", &TextParser::merged_peaks)
        .def_property_readonly("lines", &TextParser::lines);
}

}  // namespace corvane::spectra
