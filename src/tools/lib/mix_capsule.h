// The colour-mix plan's capsule (plan_capsule.h).
#pragma once

#include "tools/lib/plan_capsule.h"
#include "tools/mix/mix_plan.h"

namespace grainel {

inline constexpr const char* mix_capsule_name = "grainel_tools._native.MixPlan";

inline const MixPlan& plan_of(PyObject* capsule) { return plan_in<MixPlan>(capsule, mix_capsule_name); }

}  // namespace grainel
