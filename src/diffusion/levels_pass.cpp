#include "diffusion/passes.h"

#include "diffusion/level_quantisers.h"
#include "diffusion/scan_loops.h"
#include "simd/target.h"

GRAINEL_TARGET_BEGIN

// Runs of up to four processed channels, side by side in the lanes of one
// pass; a single channel in a float of its own.
void levels_diffusion_pixels(const LevelsDiffusionPass& pass) {
    const Raster& image = pass.scan.image;
    for (std::size_t c = 0; c < image.channels;) {
        if (image.alpha == c) {
            ++c;
            continue;
        }
        std::size_t count = 1;
        while (count < 4 && c + count < image.channels && image.alpha != c + count) ++count;
        auto run = [&]<LevelRule Rule>() {
            // Several lanes compare with 127.5 as a bound like any other.
            constexpr LevelRule lanes_rule = Rule == LevelRule::two ? LevelRule::bounded : Rule;
            if (count == 1)
                scan_with(pass.scan, LevelsQuantiser<Rule>{LevelTables<Rule>(pass.space, pass.levels), c});
            else
                scan_with(pass.scan, LevelsLanesQuantiser<lanes_rule>{
                                         LevelTables<lanes_rule>(pass.space, pass.levels), c, count});
        };
        switch (LevelBounds::rule_for(pass.levels)) {
            case LevelRule::two: run.template operator()<LevelRule::two>(); break;
            case LevelRule::bounded: run.template operator()<LevelRule::bounded>(); break;
            case LevelRule::rounded: run.template operator()<LevelRule::rounded>(); break;
        }
        c += count;
    }
}

GRAINEL_TARGET_END
