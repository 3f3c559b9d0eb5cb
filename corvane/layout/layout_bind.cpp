// Python-facing side of the atom layout: RDKit molecules and numpy arrays in,
// plain C++ geometry in the core, numpy arrays and lists out.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <numbers>
#include <string>

#include "../module/registry.hpp"
#include "../adapters/mol_reader.hpp"
#include "layout_core.hpp"

namespace corvane::layout {

namespace {

std::string type_name(py::handle o) { return Py_TYPE(o.ptr())->tp_name; }

// How np.linalg.norm rounds the length of one 2-vector in this process: its
// dot-product kernel may or may not fuse the second multiply-add.  Probed
// once on vectors where the two roundings differ.
NormKind norm_kind() {
    static int kind = -1;
    if (kind >= 0) return static_cast<NormKind>(kind);
    py::object norm = lookup("np").attr("linalg").attr("norm");
    py::object array = lookup("np").attr("array");
    int plain = 0, fused = 0, tried = 0;
    for (int i = 1; i < 10000 && tried < 12; ++i) {
        double x = 0.3 + i * 0.012345678901, y = 1.1 - i * 0.000987654321;
        double p = norm2(x, y, NormKind::plain), f = norm2(x, y, NormKind::fused);
        if (p == f) continue;
        ++tried;
        double r = as_double(norm(array(py::make_tuple(x, y))));
        plain += r == p;
        fused += r == f;
    }
    kind = static_cast<int>(fused == tried ? NormKind::fused : NormKind::plain);
    return static_cast<NormKind>(kind);
}

std::string shape_text(py::ssize_t rows, py::ssize_t cols) {
    return "(" + std::to_string(rows) + ", " + std::to_string(cols) + ")";
}

// An (n, 2) float64 numpy array, its rows copied out as 2n row-major
// doubles.  The work is done on the copy: code run in between (a rank's
// `!=`, an index's `__index__`, a subclass's `mean`) may resize or free the
// array's memory.  commit() writes the rows back after checking that the
// array still has its n rows, dtype and writeability, and raises
// RuntimeError naming the change otherwise.
class CoordBuf {
public:
    CoordBuf(py::handle obj, bool write) : write_(write) {
        if (!py::isinstance<py::array>(obj))
            raise(PyExc_TypeError, "coords must be a numpy array of shape (n, 2), not " + type_name(obj));
        arr_ = py::reinterpret_borrow<py::array>(obj);
        if (!py::isinstance<py::array_t<double>>(obj))
            raise(PyExc_TypeError,
                  "coords must have dtype float64, not " + std::string(py::str(arr_.dtype())));
        if (arr_.ndim() != 2 || arr_.shape(1) != 2)
            raise(PyExc_ValueError, "coords must have shape (n, 2), not " + std::string(py::str(arr_.attr("shape"))));
        if (write && !arr_.writeable()) raise(PyExc_ValueError, "assignment destination is read-only");
        n = static_cast<std::size_t>(arr_.shape(0));
        const py::ssize_t s0 = arr_.strides(0), s1 = arr_.strides(1);
        contiguous = s1 == static_cast<py::ssize_t>(sizeof(double)) &&
                     (n <= 1 || s0 == static_cast<py::ssize_t>(2 * sizeof(double)));
        xy_.resize(2 * n);
        const char *base = static_cast<const char *>(arr_.data());
        for (std::size_t i = 0; i < n; ++i)
            for (int c = 0; c < 2; ++c)
                std::memcpy(&xy_[2 * i + c], base + static_cast<py::ssize_t>(i) * s0 + c * s1, sizeof(double));
    }
    double *data() { return xy_.data(); }
    void commit() {
        if (!write_) return;
        std::string change;
        if (!py::isinstance<py::array_t<double>>(arr_))
            change = "its dtype changed to " + std::string(py::str(arr_.dtype()));
        else if (arr_.ndim() != 2 || static_cast<std::size_t>(arr_.shape(0)) != n || arr_.shape(1) != 2)
            change = "it was resized from " + shape_text(static_cast<py::ssize_t>(n), 2) + " to " +
                     std::string(py::str(arr_.attr("shape")));
        else if (!arr_.writeable())
            change = "it was made read-only";
        if (!change.empty()) raise(PyExc_RuntimeError, "coords changed during the call: " + change);
        char *base = static_cast<char *>(arr_.mutable_data());
        const py::ssize_t s0 = arr_.strides(0), s1 = arr_.strides(1);
        for (std::size_t i = 0; i < n; ++i)
            for (int c = 0; c < 2; ++c)
                std::memcpy(base + static_cast<py::ssize_t>(i) * s0 + c * s1, &xy_[2 * i + c], sizeof(double));
    }
    std::size_t n = 0;
    bool contiguous = true;

private:
    py::array arr_;
    bool write_;
    std::vector<double> xy_;
};

// Equality of the ranks of two atoms.  A list of plain ints covering every
// row is compared in C++; anything else item by item with the interpreter's
// `!=`, fetching items only when a comparison needs them.
class RankEq {
public:
    RankEq(py::handle ranks, std::size_t n) : ranks_(py::reinterpret_borrow<py::object>(ranks)) {
        if (!PyList_CheckExact(ranks.ptr()) || static_cast<std::size_t>(PyList_GET_SIZE(ranks.ptr())) < n) return;
        vals_.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            PyObject *r = PyList_GET_ITEM(ranks.ptr(), i);
            int overflow = 0;
            if (!PyLong_CheckExact(r)) return;
            vals_[i] = PyLong_AsLongLongAndOverflow(r, &overflow);
            if (overflow) return;
        }
        fast_ = true;
    }
    bool operator()(std::size_t i, std::size_t j) const {
        if (fast_) return vals_[i] == vals_[j];
        py::object rj = item(j), ri = item(i);
        PyObject *ne = PyObject_RichCompare(rj.ptr(), ri.ptr(), Py_NE);
        if (!ne) throw py::error_already_set();
        int t = PyObject_IsTrue(ne);
        Py_DECREF(ne);
        if (t < 0) throw py::error_already_set();
        return t == 0;
    }

private:
    py::object item(std::size_t i) const {
        py::object key = py::int_(i);
        PyObject *v = PyObject_GetItem(ranks_.ptr(), key.ptr());
        if (!v) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(v);
    }
    py::object ranks_;
    std::vector<long long> vals_;
    bool fast_ = false;
};

// operator.index(o) (called once), and its value as a C long long with
// `overflow` saying whether (and to which side) it lies beyond that range.
struct Index {
    explicit Index(py::handle o) : obj(steal(PyNumber_Index(o.ptr()))) {
        value = PyLong_AsLongLongAndOverflow(obj.ptr(), &overflow);
        if (value == -1 && PyErr_Occurred()) raise();
    }
    py::object obj;
    long long value = 0;
    int overflow = 0;
};

// An index into an array axis of `size` entries (negative ones count from
// the end); IndexError as numpy gives it when out of range, however large.
long long array_index(py::handle o, long long size, const char *axis) {
    const Index i(o);
    const long long j = i.value < 0 ? i.value + size : i.value;
    if (i.overflow || j < 0 || j >= size)
        raise(PyExc_IndexError, "index " + repr_text(i.obj) + " is out of bounds for " + axis + " with size " +
                                    std::to_string(size));
    return j;
}

int axis_of(py::handle axis) {
    const Index a(axis);
    if (a.overflow || (a.value != 0 && a.value != 1))
        raise(PyExc_IndexError, "axis " + repr_text(a.obj) + " is not a column of coords (0 or 1)");
    return static_cast<int>(a.value);
}

void mirror_object(py::handle coords, py::handle ranks, py::handle axis, double eps) {
    CoordBuf buf(coords, true);
    if (buf.n == 0) return;
    int ax = axis_of(axis);
    RankEq same(ranks, buf.n);
    gil::SignalCheck signals;
    enforce_mirror(buf.data(), buf.n, ax, eps, same, signals);
    buf.commit();
}

// Centres `coords` in place and returns it rotated onto its principal axes
// (the same object when it has fewer than two rows).
py::object pca_object(py::handle coords) {
    CoordBuf buf(coords, true);
    const std::size_t n = buf.n;
    py::object self = py::reinterpret_borrow<py::object>(coords);
    if (n == 0) return self;
    if (buf.contiguous) {
        center(buf.data(), n);
    } else {
        // numpy orders this reduction by the memory layout; let it decide.
        py::array_t<double, py::array::c_style | py::array::forcecast> mean = self.attr("mean")(py::arg("axis") = 0);
        if (mean.size() != 2)
            raise(PyExc_ValueError, "coords.mean(axis=0) gave " + std::to_string(mean.size()) + " values, not 2");
        const double mx = mean.data()[0], my = mean.data()[1];
        double *xy = buf.data();
        for (std::size_t i = 0; i < n; ++i) {
            xy[2 * i] -= mx;
            xy[2 * i + 1] -= my;
        }
    }
    buf.commit();
    if (n < 2) return self;
    // The eigenvector signs decide whether the drawing comes out mirrored:
    // they are numpy's.
    py::object np = lookup("np");
    py::object cov = np.attr("cov")(self.attr("T"));
    py::tuple eig = np.attr("linalg").attr("eigh")(cov);
    py::object order = np.attr("argsort")(eig[0])[py::slice(py::none(), py::none(), py::int_(-1))];
    py::object R = eig[1][py::make_tuple(py::slice(py::none(), py::none(), py::none()), order)];
    if (as_double(np.attr("linalg").attr("det")(R)) < 0) {
        py::tuple col1 = py::make_tuple(py::slice(py::none(), py::none(), py::none()), 1);
        R[col1] = R[col1].attr("__neg__")();
    }
    PyObject *out = PyNumber_MatrixMultiply(self.ptr(), R.ptr());
    if (!out) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(out);
}

// Member index lists of a groups mapping, validated against n rows (negative
// indices count from the end, as numpy's do).  Groups of fewer than two
// members are never touched and come out empty.
Groups groups_from_mapping(py::handle groups, std::size_t n) {
    Groups out;
    py::object values = groups.attr("values")();
    for (py::handle members : values) {
        out.emplace_back();
        Py_ssize_t k = PyObject_Size(members.ptr());
        if (k < 0) throw py::error_already_set();
        if (k < 2) continue;
        for (py::handle m : members)
            out.back().push_back(static_cast<long>(array_index(m, static_cast<long long>(n), "axis 0")));
    }
    return out;
}

// The first member of a group that may move which lies outside n rows, or -1.
long first_bad_member(const Groups &groups, std::size_t n) {
    for (const auto &g : groups)
        if (g.size() >= 2)
            for (long m : g)
                if (m < 0 || static_cast<std::size_t>(m) >= n) return m;
    return -1;
}

py::list symmetry_ranks(py::handle mol) {
    try {
        py::object r = lookup("Chem").attr("CanonicalRankAtoms")(mol, py::arg("breakTies") = false);
        PyObject *l = PySequence_List(r.ptr());
        if (!l) throw py::error_already_set();
        return py::reinterpret_steal<py::list>(l);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    long long n = as_index(mol.attr("GetNumAtoms")());
    py::list out;
    for (long long i = 0; i < n; ++i) out.append(py::int_(i));
    return out;
}

py::object symmetry_classes_of(py::handle mol) {
    if (is_own(F_symmetry_classes)) return symmetry_ranks(mol);
    return lookup(F_symmetry_classes)(mol);
}

}  // namespace

py::object get_period(const Args &a) { return lookup("element")(a[0]).attr("period"); }

py::object angle_diff(const Args &a) {
    py::handle x = a[0], y = a[1];
    if (PyFloat_Check(x.ptr()) && PyFloat_Check(y.ptr()))
        return py::float_(angle_diff(PyFloat_AS_DOUBLE(x.ptr()), PyFloat_AS_DOUBLE(y.ptr())));
    // Other numbers keep the interpreter's arithmetic step by step.
    py::object pi = py::float_(std::numbers::pi), two_pi = py::float_(2 * std::numbers::pi);
    auto check = [](PyObject *o) {
        if (!o) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(o);
    };
    py::object d = check(PyNumber_Subtract(x.ptr(), y.ptr()));
    d = check(PyNumber_Add(d.ptr(), pi.ptr()));
    d = check(PyNumber_Remainder(d.ptr(), two_pi.ptr()));
    d = check(PyNumber_Subtract(d.ptr(), pi.ptr()));
    return check(PyNumber_Absolute(d.ptr()));
}

py::object symmetry_classes(const Args &a) { return symmetry_ranks(a[0]); }

py::object radial_equalize(const Args &a) {
    CoordBuf buf(a[0], true);
    Groups groups = groups_from_mapping(a[1], buf.n);
    radial_equalize(buf.data(), groups, norm_kind());
    buf.commit();
    return py::none();
}

py::object pca_align(const Args &a) { return pca_object(a[0]); }

py::object enforce_mirror(const Args &a) {
    mirror_object(a[0], a[1], a[2], as_double(a[3]));
    return py::reinterpret_borrow<py::object>(a[0]);
}

namespace {

// RDKit's 2-D depiction of the molecule (CoordGen preferred) as 2n
// row-major doubles.  An RDKit conformer hands out all positions in one
// array; the per-atom accessor gives the same doubles.
std::vector<double> depiction(py::handle mol, std::size_t n) {
    py::object depictor = lookup("rdDepictor");
    depictor.attr("SetPreferCoordGen")(true);
    depictor.attr("Compute2DCoords")(mol);
    py::object conf = mol.attr("GetConformer")();
    std::vector<double> xy(2 * n);
    py::object all = py::getattr(conf, "GetPositions", py::none());
    py::object pos = all.is_none() ? py::object() : all();
    if (pos && py::isinstance<py::array_t<double>>(pos) && py::array(pos).ndim() == 2 &&
        static_cast<std::size_t>(py::array(pos).shape(0)) == n && py::array(pos).shape(1) >= 2) {
        // No interpreter code runs while the rows are read.
        auto p = py::array_t<double, py::array::c_style | py::array::forcecast>(pos).unchecked<2>();
        for (std::size_t i = 0; i < n; ++i) {
            xy[2 * i] = p(i, 0);
            xy[2 * i + 1] = p(i, 1);
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            py::object p = conf.attr("GetAtomPosition")(i);
            xy[2 * i] = as_double(p.attr("x"));
            xy[2 * i + 1] = as_double(p.attr("y"));
        }
    }
    return xy;
}

// An (n, 2) float64 array of 2n row-major doubles.
py::array_t<double> to_array(const std::vector<double> &xy) {
    const auto n = static_cast<py::ssize_t>(xy.size() / 2);
    py::array_t<double> a({n, static_cast<py::ssize_t>(2)});
    std::copy(xy.begin(), xy.end(), a.mutable_data());
    return a;
}

// Symmetry class of every atom, numbered by first occurrence of its rank.
// Ranks are keyed as a dict keys them: exact ints by value, anything else by
// the first earlier rank that a dict finds equal to it.
std::vector<long> class_ids(py::handle ranks) {
    std::vector<py::object> rs;
    for (py::handle r : ranks) rs.push_back(borrow(r.ptr()));
    std::vector<long long> keys;
    for (const py::object &r : rs) {
        int overflow = 0;
        const long long v = PyLong_CheckExact(r.ptr()) ? PyLong_AsLongLongAndOverflow(r.ptr(), &overflow) : 0;
        if (!PyLong_CheckExact(r.ptr()) || overflow) break;
        keys.push_back(v);
    }
    if (keys.size() != rs.size()) {
        keys.clear();
        py::dict first;
        for (const py::object &r : rs) {
            PyObject *k = dict_get(first, r);
            if (k) {
                keys.push_back(PyLong_AsLongLong(k));
            } else {
                const auto i = static_cast<long long>(keys.size());
                first[r] = int_(i);
                keys.push_back(i);
            }
        }
    }
    return number_classes(keys);
}

// The molecule's bonds, checked against its atoms.
BondTable bond_table(py::handle mol, std::size_t n) {
    const auto n_atoms = static_cast<long long>(n);
    std::vector<std::pair<long, long>> bond_list;
    for (py::handle b : mol::mol_items(mol, true)) {
        long long u = as_index(b.attr("GetBeginAtomIdx")()), v = as_index(b.attr("GetEndAtomIdx")());
        if (u < 0 || v < 0 || u >= n_atoms || v >= n_atoms) raise(PyExc_IndexError, "bond atom index out of range");
        bond_list.emplace_back(static_cast<long>(u), static_cast<long>(v));
    }
    return BondTable(n, std::move(bond_list));
}

// The force iterations with the equalisation of symmetry classes: in C++
// without the interpreter lock while the equaliser is the module's own,
// else through the rebound name with the classes as a defaultdict.  The
// coordinates live in `xy`; a rebound equaliser is handed `coords` filled
// from it, and its result is read back once it returns.
void refine(py::array_t<double> &coords, std::vector<double> &xy, std::size_t n, py::handle ranks,
            const BondTable &bt, const ForceParams &p, const Groups &groups, long long n_iter, NormKind nk) {
    const long bad = first_bad_member(groups, n);
    if (n_iter > 0 && bad < 0 && is_own(F_radial_equalize)) {
        try {
            gil::Release nogil;
            force_loop(xy.data(), n, bt, p, groups, 0, static_cast<long>(n_iter), nk,
                       [&nogil] { return nogil.interrupted(); });
        } catch (const Interrupted &) {
            throw py::error_already_set();
        }
        return;
    }
    py::object groups_obj;  // the defaultdict a rebound equaliser is given
    StepScratch scratch;
    gil::SignalCheck signals;
    for (long long it = 0; it < n_iter; ++it) {
        signals();
        force_step(xy.data(), n, bt, p, nk, scratch);
        if (!equalize_after(static_cast<long>(it))) continue;
        if (is_own(F_radial_equalize)) {
            if (bad >= 0)
                raise(PyExc_IndexError, "index " + std::to_string(bad) + " is out of bounds for axis 0 with size " +
                                            std::to_string(n));
            radial_equalize(xy.data(), groups, nk);
        } else {
            if (!groups_obj) {
                groups_obj = lookup("defaultdict")(borrow(reinterpret_cast<PyObject *>(&PyList_Type)));
                std::size_t i = 0;
                for (py::handle r : ranks) groups_obj[r].attr("append")(py::int_(i++));
            }
            CoordBuf into(coords, true);
            if (into.n != n) raise(PyExc_RuntimeError, "coords changed during the call: it was resized");
            std::copy(xy.begin(), xy.end(), into.data());
            into.commit();
            lookup(F_radial_equalize)(coords, groups_obj);
            CoordBuf back(coords, false);
            if (back.n != n)
                raise(PyExc_RuntimeError, "coords changed during the call: _radial_equalize resized it from " +
                                              shape_text(static_cast<py::ssize_t>(n), 2) + " to " +
                                              shape_text(static_cast<py::ssize_t>(back.n), 2));
            std::copy(back.data(), back.data() + 2 * n, xy.begin());
        }
    }
}

// Principal-axis alignment, then the mirror clean-up across the x and the y
// axis.
py::object align_and_mirror(py::handle coords, py::handle ranks) {
    py::object out = is_own(F_pca_align) ? pca_object(coords) : lookup(F_pca_align)(coords);
    for (int axis : {1, 0}) {
        if (is_own(F_enforce_mirror))
            mirror_object(out, ranks, py::int_(axis), 0.05);
        else
            out = lookup(F_enforce_mirror)(out, ranks, py::arg("axis") = axis);
    }
    return out;
}

}  // namespace

py::object compute_atom_layout(const Args &a) {
    py::handle mol = a[0];
    py::object np = lookup("np");
    const long long n_atoms = as_index(mol.attr("GetNumAtoms")());
    const std::size_t n = static_cast<std::size_t>(n_atoms < 0 ? 0 : n_atoms);
    if (n > static_cast<std::size_t>(PY_SSIZE_T_MAX) / (4 * sizeof(double))) throw std::bad_alloc();
    // The coordinates are the call's own until the end: every array handed
    // to interpreter code is a copy.
    std::vector<double> xy = depiction(mol, n);
    if (n <= 1) return py::make_tuple(to_array(xy), symmetry_classes_of(mol));

    py::object ranks = symmetry_classes_of(mol);
    const Groups groups = groups_of(class_ids(ranks));
    const BondTable bt = bond_table(mol, n);
    const long long n_iter = as_index(a[1]);
    const double target = as_double(a[2]);
    const ForceParams p{target, target * as_double(a[3]), as_double(a[4]), as_double(a[5])};
    const NormKind nk = norm_kind();

    py::object rng;
    gil::SignalCheck signals;
    separate_coincident(
        xy.data(), n, nk,
        [&] {
            if (!rng) rng = np.attr("random").attr("default_rng")(42);
            py::array_t<double, py::array::c_style | py::array::forcecast> draw =
                rng.attr("normal")(0, 0.1, py::arg("size") = 2);
            if (draw.size() != 2)
                raise(PyExc_ValueError, "normal(0, 0.1, size=2) gave " + std::to_string(draw.size()) + " values");
            return std::pair<double, double>(draw.data()[0], draw.data()[1]);
        },
        signals);
    py::array_t<double> coords = to_array(xy);
    refine(coords, xy, n, ranks, bt, p, groups, n_iter, nk);
    CoordBuf out(coords, true);
    if (out.n != n) raise(PyExc_RuntimeError, "coords changed during the call: it was resized");
    std::copy(xy.begin(), xy.end(), out.data());
    out.commit();
    return py::make_tuple(align_and_mirror(coords, ranks), ranks);
}

// Below this many angles to add, the lock is kept: the work takes
// microseconds.
constexpr long long kNodesWithLock = 256;

py::object yerlestir_dugumler(const Args &a) {
    py::handle n_obj = a[0], targets = a[1];
    py::int_ one(1);
    int single = PyObject_RichCompareBool(n_obj.ptr(), one.ptr(), Py_EQ);
    if (single < 0) throw py::error_already_set();
    if (single) {
        py::list out;
        out.append(py::float_(0.0));
        return out;
    }
    py::object cut = py::reinterpret_borrow<py::object>(targets)[py::slice(py::none(), py::reinterpret_borrow<py::object>(n_obj), py::none())];
    PyObject *l = PySequence_List(cut.ptr());
    if (!l) throw py::error_already_set();
    py::list angles = py::reinterpret_steal<py::list>(l);
    // Beyond 64 bits: a count no list can reach (Python would run out of
    // memory), or one so negative that the slice is empty.
    const Index count(n_obj);
    if (count.overflow > 0) throw std::bad_alloc();
    const long long n = count.overflow < 0 ? std::numeric_limits<long long>::min() : count.value;
    if (angles.empty()) {
        if (n == 0) raise(PyExc_ZeroDivisionError, "float division by zero");
    } else if (static_cast<long long>(angles.size()) >= n) {
        return angles;
    }
    // The items are held while their __float__ runs (which might change
    // the list).
    std::vector<py::object> items;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(angles.ptr()); ++i) items.push_back(borrow(PyList_GET_ITEM(angles.ptr(), i)));
    std::vector<double> given;
    for (const py::object &t : items) given.push_back(as_double(t));
    // A list of n floats takes 32 bytes an item at the least.
    if (n > PY_SSIZE_T_MAX / 32) throw std::bad_alloc();
    std::vector<double> all;
    if (n - static_cast<long long>(given.size()) < kNodesWithLock) {
        all = node_angles(static_cast<long>(n), given);
    } else {
        try {
            gil::Release nogil;
            all = node_angles(static_cast<long>(n), given, [&nogil] { return nogil.interrupted(); });
        } catch (const Interrupted &) {
            throw py::error_already_set();
        }
    }
    for (std::size_t k = given.size(); k < all.size(); ++k) angles.append(py::float_(all[k]));
    return angles;
}

}  // namespace corvane::layout
