// Where clusters meet: the highest saddle between every two touching
// clusters of a labelling, read off the neighbour table.
#pragma once

#include <cstdint>
#include <vector>

#include "core/views.hpp"

namespace quarnel::cluster {

// Every pair of touching clusters a < b once, ascending by (a, b).
struct Saddles {
    std::vector<std::int64_t> a;
    std::vector<std::int64_t> b;
    std::vector<double> level;  // the highest saddle of the pair
};

// Clusters a and b touch where a point of one lists a point of the other
// among its first `width` neighbours (column 0, the point itself, is not
// read); the saddle of that pair of points is the lower of their two
// log-densities, and the pair's level the highest such saddle. Points with
// a negative label are left out. The levels are maxima, so the result does
// not depend on the order the rows are read in. Stops when a listed
// neighbour is not a row of `labels`. Index is std::int64_t or std::int32_t
// (the driver's table below 2^31 points).
template <class Index>
Saddles highest_saddles(Slice<std::int64_t> labels, Slice<double> rho,
                        const MatrixView<Index>& nn_list, std::size_t width);

// highest_saddles over the rows of nn_list only: labels and rho may hold
// more points than there are rows (neighbours whose own rows are elsewhere,
// as in a box of a distributed run), and every entry indexes them.
template <class Index>
Saddles highest_saddles_rows(Slice<std::int64_t> labels, Slice<double> rho,
                             const MatrixView<Index>& nn_list, std::size_t width);

}  // namespace quarnel::cluster
