// Memory freed by a program that works on whole pictures, given back.
#pragma once

namespace grainel {

// From now on, every block of 128 KiB or more is mapped on its own and
// given back to the system when it is freed. glibc does that at first, but
// raises the size it maps from to that of each such block freed: after the
// first picture-sized buffer, later ones are carved out of the heap of the
// thread that asks for them, which keeps its peak, and a run whose buffers
// pass between threads comes to hold a heap's worth on each. For a program
// to call once, at its start: it sets the allocator of the whole process.
// Elsewhere blocks are left to the C library's own rule.
void give_back_freed_buffers() noexcept;

}  // namespace grainel
