// The remap plan's capsule (plan_capsule.h). Threads can share the plan:
// its searches fill behind their own locks.
#pragma once

#include "tools/lib/plan_capsule.h"
#include "tools/remap/remap_plan.h"

namespace grainel {

inline constexpr const char* remap_capsule_name = "grainel_tools._native.RemapPlan";

inline const RemapPlan& remap_plan_of(PyObject* capsule) {
    return plan_in<RemapPlan>(capsule, remap_capsule_name);
}

}  // namespace grainel
