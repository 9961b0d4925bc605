// Plans handed to Python as capsules, so that one plan serves every frame
// of an animation and every call that reuses it. A plan never changes what
// it gives once made, so threads can share it.
#pragma once

#include <memory>

#include "python/py.h"

namespace grainel {

// The plan in a capsule that deletes it when Python lets it go.
template <class Plan>
Ref plan_capsule(std::unique_ptr<Plan> plan, const char* name) {
    Ref capsule = checked(PyCapsule_New(plan.get(), name, [](PyObject* held) {
        delete static_cast<Plan*>(PyCapsule_GetPointer(held, PyCapsule_GetName(held)));
    }));
    plan.release();
    return capsule;
}

// The plan in a capsule of that name; raises for anything else.
template <class Plan>
const Plan& plan_in(PyObject* capsule, const char* name) {
    void* plan = PyCapsule_GetPointer(capsule, name);
    if (!plan) throw PythonError{};
    return *static_cast<const Plan*>(plan);
}

}  // namespace grainel
