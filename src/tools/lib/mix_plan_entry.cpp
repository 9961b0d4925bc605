// mix_plan(palette): the colour-mix plan of a (k, 3) palette, as
// (capsule, order), order being the palette indices darkest first.
#include "tools/lib/entries.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/lib/buffers.h"
#include "tools/lib/mix_capsule.h"

namespace grainel {
namespace {

void free_plan(PyObject* capsule) {
    delete static_cast<MixPlan*>(PyCapsule_GetPointer(capsule, mix_capsule_name));
}

}  // namespace

PyObject* mix_plan_entry(PyObject*, PyObject* palette_arg) noexcept {
    return guarded([&]() -> PyObject* {
        const Bytes palette(palette_arg, "palette", 2);
        if (palette.size(1) != 3 || palette.size(0) < 1 || palette.size(0) > most_colors)
            raise(PyExc_ValueError,
                  "palette must hold 1 to " + std::to_string(most_colors) + " colours of 3 bytes");
        std::vector<Rgb> colors(palette.size(0));
        std::memcpy(colors.data(), palette.data(), colors.size() * sizeof(Rgb));
        std::unique_ptr<MixPlan> plan;
        {
            Detached released;
            plan = std::make_unique<MixPlan>(colors);
        }
        Ref order = checked(PyTuple_New(static_cast<Py_ssize_t>(colors.size())));
        for (std::size_t r = 0; r < colors.size(); ++r)
            PyTuple_SET_ITEM(order.get(), r, checked(PyLong_FromLong(plan->order()[r])).release());
        Ref capsule = checked(PyCapsule_New(plan.get(), mix_capsule_name, free_plan));
        plan.release();
        return checked(PyTuple_Pack(2, capsule.get(), order.get())).release();
    });
}

}  // namespace grainel
