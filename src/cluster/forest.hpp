// Labels on the forest of nearest denser neighbours, from the parent links
// alone (no density graph).
#pragma once

#include <cstdint>
#include <vector>

#include "core/views.hpp"

namespace quarnel::cluster {

// Every point's label: the largest position in `centres` of a centre among
// its ancestors-or-self along `parent` (a negative parent ends a chain), -1
// with none. This is what assign_cluster's walk down the density graph gives
// when every centre's label overrides those above it. Stops when a parent is
// not below n or the links hold a cycle.
std::vector<std::int64_t> forest_labels(Slice<std::int64_t> centres, Slice<std::int64_t> parent);

}  // namespace quarnel::cluster
