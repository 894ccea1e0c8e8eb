// A box of a distributed run reads its neighbour table through codes: a
// neighbour's row in the box, or a row after the box's own for the points
// that other boxes hold ("foreign" points).
#pragma once

#include <cstdint>
#include <vector>

#include "core/buffer.hpp"
#include "core/views.hpp"

namespace quarnel::cluster {

struct BoxCodes {
    Buffer<std::int32_t> code;          // rows x cols of nbr, row-major
    std::vector<std::int64_t> foreign;  // ascending
};

// For the box holding the points `ids` (ascending, below n_points) and its
// neighbour table nbr (point indices below n_points): code(i, j) is the row
// of nbr(i, j) in ids if it is there, else len(ids) + its position among
// the foreign points (the entries of nbr not in ids, ascending). The codes
// are 32-bit: stops when len(ids) + foreign points exceed 2^31 - 1, when
// an index is not below n_points, or when ids do not ascend. Memory grows
// with the box and its table, not beyond them with n_points.
template <class Index>
BoxCodes box_codes(Slice<std::int64_t> ids, const MatrixView<Index>& nbr, std::size_t n_points);

}  // namespace quarnel::cluster
