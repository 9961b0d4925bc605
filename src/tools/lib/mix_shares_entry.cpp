// mix_shares(plan, colors): the mixes of (k, 3) colours as bytes holding
// k rows of native 32-bit shares, one per colour of the plan's order, in
// units of 2^-14.
#include "tools/lib/entries.h"

#include <cstring>
#include <vector>

#include "tools/lib/buffers.h"
#include "tools/lib/mix_capsule.h"

namespace grainel {

PyObject* mix_shares_entry(PyObject*, PyObject* const* args, Py_ssize_t count) noexcept {
    return guarded([&]() -> PyObject* {
        if (count != 2) raise(PyExc_TypeError, "mix_shares takes plan and colors");
        const MixPlan& plan = plan_of(args[0]);
        const Bytes colors(args[1], "colors", 2);
        if (colors.size(1) != 3) raise(PyExc_ValueError, "colors must be (k, 3)");
        const std::size_t ranks = plan.order().size(), rows = colors.size(0);
        std::vector<std::uint32_t> shares(rows * ranks);
        for (std::size_t i = 0; i < rows; ++i) plan.shares(colors.data() + 3 * i, shares.data() + i * ranks);
        return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(shares.data()),
                                                 static_cast<Py_ssize_t>(shares.size() * 4)))
            .release();
    });
}

}  // namespace grainel
