"""A check that a call, repeated, keeps no references to its arguments and no memory: shared by the
tables of error and intake paths, so that every path they reach is also checked for leaks."""

import ctypes
import gc
import sys
import threading


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                "arena ordblks smblks hblks hblkhd usmblks fsmblks uordblks fordblks keepcost".split()]


try:
    MALLINFO2 = ctypes.CDLL(None).mallinfo2
    MALLINFO2.restype = MallInfo2
except (OSError, TypeError, AttributeError):  # not glibc: references and Python objects are watched alone
    MALLINFO2 = MallInfo2


def heap_bytes():
    """Bytes handed out by the C heap."""
    info = MALLINFO2()
    return info.uordblks + info.hblkhd


def other_threads():
    return [t.name for t in threading.enumerate() if t is not threading.current_thread()]


def assert_alone(doing):
    """For what the whole process sees (its memory figures, a patched module): no other thread may run."""
    others = other_threads()
    assert not others, f"{doing} while other threads run: {', '.join(others)}"


# The interpreter's type attribute cache keeps the name of each lookup that filled one of its slots. A C
# function that looks attributes up by C string makes a new name every call, so how many of those the
# cache holds at a given moment, hundreds of blocks, depends on which slots the last calls happened to
# take. Emptied before every reading, it no longer moves the figures.
clear_type_cache = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache


def allocated():
    """Python blocks and C heap bytes in use, with no garbage and no cached attribute names among them."""
    gc.collect()
    clear_type_cache()
    return sys.getallocatedblocks(), heap_bytes()


def watchable(objects):
    """The objects and the items of lists and tuples among them, but not the singletons and small ints,
    whose counts the interpreter itself moves."""
    items = [o for o in objects if isinstance(o, (list, tuple))]
    return [o for o in [*objects, *(i for o in items for i in o)]
            if not (o is None or isinstance(o, bool) or type(o) is int and -5 <= o <= 256)]


def assert_no_leaks(call, *watched, n=200):
    """call() n times, twice over (a real leak grows both times, a cache filling up only once), after
    2n calls that let NumPy and the interpreter fill their caches; whatever it raises is ignored. A leak
    of one object per call stands out from the interpreter's own noise of a few dozen objects. The figures
    are the whole process's, so no other thread may run meanwhile."""
    def churn(times):
        for _ in range(times):
            try:
                call()
            except Exception:
                pass
    assert_alone("a leak check")
    watched = watchable(watched)
    churn(2 * n)
    clear_type_cache()  # may hold a string argument, as it holds names
    refs = [sys.getrefcount(o) for o in watched]
    blocks, heap = [], []
    gc.freeze()  # keeps the collections below to the objects these calls make
    try:
        for _ in range(2):
            blocks_before, heap_before = allocated()
            churn(n)
            blocks_after, heap_after = allocated()
            blocks.append(blocks_after - blocks_before)
            heap.append(heap_after - heap_before)
    finally:
        gc.unfreeze()
    clear_type_cache()
    assert [sys.getrefcount(o) for o in watched] == refs, "references to the arguments leaked"
    assert min(blocks) < n // 2, f"{min(blocks)} Python objects kept over {n} calls"
    assert min(heap) < 16 * n, f"{min(heap)} bytes of memory kept over {n} calls"
