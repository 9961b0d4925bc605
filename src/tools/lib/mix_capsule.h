// A colour-mix plan handed to Python as a capsule, so that one plan serves
// every frame of an animation and every call that reuses it. The plan never
// changes once made, so threads can share it.
#pragma once

#include "python/py.h"
#include "tools/mix/mix_plan.h"

namespace grainel {

inline constexpr const char* mix_capsule_name = "grainel_tools._native.MixPlan";

// The plan in a capsule made by mix_plan; raises for anything else.
inline const MixPlan& plan_of(PyObject* capsule) {
    void* plan = PyCapsule_GetPointer(capsule, mix_capsule_name);
    if (!plan) throw PythonError{};
    return *static_cast<const MixPlan*>(plan);
}

}  // namespace grainel
