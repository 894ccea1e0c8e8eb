// The function tables of the three subsystems, in registration order.
// The module registers knn, then kde, then cluster functions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

namespace quarnel::py {

std::span<const PyMethodDef> knn_functions();      // knn_query, knn_query_cross
std::span<const PyMethodDef> kde_functions();      // epanechnikov_kde ... round_float
std::span<const PyMethodDef> cluster_functions();  // compute_delta ... adaptive_trim_size

}  // namespace quarnel::py
