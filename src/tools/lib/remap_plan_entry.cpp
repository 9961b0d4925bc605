// remap_plan(palette): the remap plan of a (k, 3) palette, as a capsule.
#include "tools/lib/entries.h"

#include <memory>

#include "tools/lib/buffers.h"
#include "tools/lib/remap_capsule.h"

namespace grainel {

PyObject* remap_plan_entry(PyObject*, PyObject* palette_arg) noexcept {
    return guarded([&]() -> PyObject* {
        return plan_capsule(std::make_unique<RemapPlan>(palette_colors(palette_arg)), remap_capsule_name)
            .release();
    });
}

}  // namespace grainel
