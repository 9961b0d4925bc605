// Which colours can be the nearest one somewhere in a box of working space.
//
// The nearest-colour search keeps, for each box of a grid, the colours that
// could win for some query inside it; a query then compares only those. A
// colour may be left out only when it provably cannot win anywhere in the
// box, with the distances the search computes in 32-bit floats: the test
// leaves a margin far wider than their rounding (winner_filter.cpp gives
// the proof).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace grainel {

// A closed box of working space, per channel r, g, b.
struct Box {
    double lo[3], hi[3];
};

class WinnerFilter {
public:
    // The colours are given by channel; positions index them. The filter's
    // scratch space is reserved here for `count` colours, so that filtering
    // allocates nothing.
    WinnerFilter(const float* const channel[3], std::size_t count);

    // Copies to `kept`, in the order given, the positions of `from` whose
    // colour may win for some query in `box`, and returns how many (at
    // least one). `from` must hold every colour that can win in the box:
    // the whole palette, or the result of this filter on a larger box.
    std::size_t filter(const Box& box, const std::uint16_t* from, std::size_t count,
                       std::uint16_t* kept);

private:
    const float* channel_[3];
    // The colours being filtered: values by channel, the farthest squared
    // distance to the box, the squared distance to its centre and the
    // position; then an order of them and the ones kept.
    std::vector<double> value_[3], reach_, centre_distance_;
    std::vector<std::uint16_t> position_;
    std::vector<std::uint32_t> order_;
    std::vector<std::uint8_t> is_kept_;
};

}  // namespace grainel
