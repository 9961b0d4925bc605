// mix_plan(palette): the colour-mix plan of a (k, 3) palette, as
// (capsule, order), order being the palette indices darkest first.
#include "tools/lib/entries.h"

#include <memory>
#include <utility>
#include <vector>

#include "tools/lib/buffers.h"
#include "tools/lib/mix_capsule.h"

namespace grainel {

PyObject* mix_plan_entry(PyObject*, PyObject* palette_arg) noexcept {
    return guarded([&]() -> PyObject* {
        const std::vector<Rgb> colors = palette_colors(palette_arg);
        std::unique_ptr<MixPlan> plan;
        {
            Detached released;
            plan = std::make_unique<MixPlan>(colors);
        }
        Ref order = checked(PyTuple_New(static_cast<Py_ssize_t>(colors.size())));
        for (std::size_t r = 0; r < colors.size(); ++r)
            PyTuple_SET_ITEM(order.get(), r, checked(PyLong_FromLong(plan->order()[r])).release());
        Ref capsule = plan_capsule(std::move(plan), mix_capsule_name);
        return checked(PyTuple_Pack(2, capsule.get(), order.get())).release();
    });
}

}  // namespace grainel
