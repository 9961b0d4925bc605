"""A check that a call, repeated, keeps no references to its arguments and no memory: shared by the
tables of error and intake paths, so that every path they reach is also checked for leaks."""

import ctypes
import gc
import sys


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


def watchable(objects):
    """The objects and the items of lists and tuples among them, but not the singletons and small ints,
    whose counts the interpreter itself moves."""
    items = [o for o in objects if isinstance(o, (list, tuple))]
    return [o for o in [*objects, *(i for o in items for i in o)]
            if not (o is None or isinstance(o, bool) or type(o) is int and -5 <= o <= 256)]


def assert_no_leaks(call, *watched, n=200):
    """call() n times, twice over (a real leak grows both times, a cache filling up only once), after
    2n calls that let NumPy and the interpreter fill their caches; whatever it raises is ignored. A leak
    of one object per call stands out from the interpreter's own noise of a few dozen objects."""
    def churn(times):
        for _ in range(times):
            try:
                call()
            except Exception:
                pass
    watched = watchable(watched)
    churn(2 * n)
    refs = [sys.getrefcount(o) for o in watched]
    blocks, heap = [], []
    gc.freeze()  # keeps the collections below to the objects these calls make
    try:
        for _ in range(2):
            gc.collect()
            blocks_before, heap_before = sys.getallocatedblocks(), heap_bytes()
            churn(n)
            gc.collect()
            blocks.append(sys.getallocatedblocks() - blocks_before)
            heap.append(heap_bytes() - heap_before)
    finally:
        gc.unfreeze()
    assert [sys.getrefcount(o) for o in watched] == refs, "references to the arguments leaked"
    assert min(blocks) < n // 2, f"{min(blocks)} Python objects kept over {n} calls"
    assert min(heap) < 16 * n, f"{min(heap)} bytes of memory kept over {n} calls"
