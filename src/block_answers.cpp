#include "block_answers.h"

#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "large_buffers.h"

#include "isa_target.h"
#include "isa_vectors.h"

namespace grainel {
namespace {

// The colour of every byte triple, found for a block of 16 x 16 x 16
// triples the first time a pixel falls in it. The block's few candidates
// are compared with all its triples at once, in vectors along blue: the
// distances are the search's own, (dr * dr + dg * dg) + db * db in the same
// floats, and a later candidate takes a triple only when strictly nearer,
// so the first of equally near colours in palette order wins.
class BlockAnswers {
public:
    static constexpr std::uint32_t side = 16, triples = side * side * side, blocks = triples;

    BlockAnswers(ColorSearch& search, const float* decode, ColorSearch::Floats4 shift,
                 std::size_t colors)
        : search_(search), place_of_block_(blocks, 0),
          // Only the blocks filled are ever touched. The first place is
          // never filled, so that place 0 can mean "not filled yet".
          answers_(static_cast<std::uint8_t*>(allocate_large(std::size_t{blocks + 1} * triples))),
          values_{std::vector<float>(colors), std::vector<float>(colors), std::vector<float>(colors)},
          indices_(colors), least_(triples), winner_(triples) {
        if (!answers_) throw std::bad_alloc();
        for (int c = 0; c < 3; ++c)
            for (std::uint32_t byte = 0; byte < 256; ++byte) {
                working_[c][byte] = shift[c] + decode[byte];
                key_[c][byte] = key_of(c, byte);
            }
    }

    // Gives each of `count` pixels its colour.
    void paint(std::uint8_t* pixel, std::size_t count, std::size_t channels,
               const std::uint32_t* colors) {
        // Locals, so that the byte stores cannot alias them and force this
        // short loop to reload them.
        const std::uint32_t* const key[3] = {key_[0], key_[1], key_[2]};
        std::uint32_t* const place_of_block = place_of_block_.data();
        const std::uint8_t* const answers = answers_.get();
        auto colour_of = [&](const std::uint8_t* at) {
            const std::uint32_t bytes = key[0][at[0]] | key[1][at[1]] | key[2][at[2]];
            const std::uint32_t block = bytes >> 12;
            std::uint32_t place = place_of_block[block];
            if (place == 0) place = place_of_block[block] = fill(block);
            return colors[answers[place + (bytes & (triples - 1))]];
        };
        if (channels == 3 && count > 0) {
            // Each colour is stored as four bytes, the fourth landing on the
            // next pixel's first byte after that pixel has been looked up:
            // one store instead of three.
            std::uint32_t next = colour_of(pixel);
            for (std::size_t i = 1; i < count; ++i, pixel += 3) {
                const std::uint32_t color = next;
                next = colour_of(pixel + 3);
                __builtin_memcpy(pixel, &color, 4);
            }
            __builtin_memcpy(pixel, &next, 3);
            return;
        }
        for (std::size_t i = 0; i < count; ++i, pixel += channels) {
            const std::uint32_t color = colour_of(pixel);
            __builtin_memcpy(pixel, &color, 3);
        }
    }

private:
    // A byte's part of a triple's key: its block above bit 12, and below
    // it the triple's place in the block. A block is stored in cubes of
    // 4 x 4 x 4 triples, a cache line each, so that pixels of nearly the
    // same colour share lines.
    static std::uint32_t key_of(int c, std::uint32_t byte) {
        const std::uint32_t shift = 2 * (2 - c);
        return (byte >> 4) << (12 + 2 * shift) | (byte >> 2 & 3) << (6 + shift) | (byte & 3) << shift;
    }

    // Out of line, so that the pixel loop keeps its registers.
    [[gnu::noinline]] std::uint32_t fill(std::uint32_t block) {
        const float* w[3];
        ColorSearch::Floats4 lo = {}, hi = {};
        for (int c = 0; c < 3; ++c) {
            w[c] = working_[c] + (block >> (8 - 4 * c) & 15) * side;
            lo[c] = w[c][0];
            hi[c] = w[c][side - 1];  // working values grow with the byte
        }
        float* values[3] = {values_[0].data(), values_[1].data(), values_[2].data()};
        const std::size_t count = search_.candidates(lo, hi, values, indices_.data());
        constexpr std::size_t row_vectors = side / lanes;
        for (std::size_t k = 0; k < count; ++k) {
            Floats db_squared[row_vectors];
            for (std::size_t v = 0; v < row_vectors; ++v) {
                const Floats db = load(w[2] + v * lanes) - values[2][k];
                db_squared[v] = db * db;
            }
            float dg_squared[side];
            for (std::uint32_t j = 0; j < side; ++j) {
                const float dg = w[1][j] - values[1][k];
                dg_squared[j] = dg * dg;
            }
            const Ints position = Ints{} + static_cast<std::int32_t>(k);
            float* least = least_.data();
            std::int32_t* winner = winner_.data();
            for (std::uint32_t i = 0; i < side; ++i) {
                const float dr = w[0][i] - values[0][k];
                const float dr_squared = dr * dr;
                for (std::uint32_t j = 0; j < side; ++j) {
                    const Floats across = Floats{} + (dr_squared + dg_squared[j]);
                    for (std::size_t v = 0; v < row_vectors; ++v, least += lanes, winner += lanes) {
                        const Floats d = across + db_squared[v];
                        const Floats was = load(least);
                        Ints had;
                        __builtin_memcpy(&had, winner, sizeof had);
                        const Ints nearer = k == 0 ? ~Ints{} : d < was;
                        const Floats now = nearer ? d : was;
                        const Ints who = nearer ? position : had;
                        __builtin_memcpy(least, &now, sizeof now);
                        __builtin_memcpy(winner, &who, sizeof who);
                    }
                }
            }
        }
        const std::uint32_t place = ++filled_ * triples;
        std::uint8_t* answers = answers_.get() + place;
        for (std::uint32_t r = 0, t = 0; r < side; ++r)
            for (std::uint32_t g = 0; g < side; ++g)
                for (std::uint32_t b = 0; b < side; ++b, ++t)
                    answers[(key_of(0, r) | key_of(1, g) | key_of(2, b))] =
                        static_cast<std::uint8_t>(indices_[winner_[t]]);
        return place;
    }

    struct FreeDeleter {
        void operator()(void* p) const { std::free(p); }
    };
    ColorSearch& search_;
    float working_[3][256];                  // per channel and byte: shifted working value
    std::uint32_t key_[3][256];              // per channel and byte: its part of the key
    std::vector<std::uint32_t> place_of_block_;  // where its answers start, or 0: not filled
    std::unique_ptr<std::uint8_t[], FreeDeleter> answers_;  // palette indices
    std::uint32_t filled_ = 0;
    // One fill's candidates, and each triple's least distance and winner.
    std::vector<float> values_[3];
    std::vector<std::int32_t> indices_;
    std::vector<float> least_;
    std::vector<std::int32_t> winner_;
};

}  // namespace

template <>
void quantise_by_blocks<this_isa>(const PalettePass& pass, ColorSearch::Floats4 shift) {
    BlockAnswers nearest(pass.search, pass.space.decode.data(), shift, pass.palette.colors.size());
    // The colours as four bytes each, the last one unused.
    std::vector<std::uint32_t> colors(pass.palette.colors.size());
    for (std::size_t i = 0; i < colors.size(); ++i) {
        const Rgb& color = pass.palette.colors[i];
        std::uint8_t four[4] = {color[0], color[1], color[2], 0};
        __builtin_memcpy(&colors[i], four, 4);
    }
    nearest.paint(pass.image.pixels, pass.image.height * pass.image.width, pass.image.channels,
                  colors.data());
}

}  // namespace grainel

#include "isa_target_end.h"
