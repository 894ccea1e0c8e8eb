// The function tables of the modules, in registration order: quarnel's
// knn, then kde, then cluster functions; the driver's helpers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <span>

namespace quarnel::py {

std::span<const PyMethodDef> knn_functions();      // knn_query, knn_query_cross
std::span<const PyMethodDef> kde_functions();      // epanechnikov_kde ... round_float
std::span<const PyMethodDef> cluster_functions();  // compute_delta ... adaptive_trim_size
std::span<const PyMethodDef> driver_functions();   // knn_table ... radius_counts

}  // namespace quarnel::py
