// Binding helpers of the VIF graph that other subsystems' bindings use.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace py = pybind11;

namespace corvane::vif {

// The dense weighted adjacency matrix of a networkx graph in its node order,
// as nx.to_numpy_array(graph, weight=weight) builds it (a missing weight
// counts 1).  Plain nx.Graph objects are read directly.
py::array_t<double> adjacency(py::handle graph, py::handle weight);

}  // namespace corvane::vif
