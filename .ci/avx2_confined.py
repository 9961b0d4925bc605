"""Fails if an AVX instruction lies outside namespace grainel::avx2 in the modules named.

python avx2_confined.py MODULE...   (importable names: grainel grainel_tools._native)

The AVX2 kernels are chosen at run time, so every other function must run on any x86-64 CPU. An
inline helper or template that the AVX2 build compiled for AVX2 outside that namespace is a copy the
linker may pick for the baseline path too, which then dies on a CPU without AVX; no test can reach
every function, so this reads the code itself. The modules must be unstripped: objdump names a
function only by its symbol. VEX-encoded instructions are those whose mnemonic starts with 'v' on
xmm registers, and any on ymm or zmm ones (the legacy SSE forms the baseline uses have no 'v').
"""

import importlib.util
import re
import subprocess
import sys

FUNCTION = re.compile(r"^[0-9a-f]+ <(.+)>:$")
INSTRUCTION = re.compile(r"^\s*[0-9a-f]+:\s+(.*)$")
VEX = re.compile(r"%[yz]mm|^(\{vex\} )?v\S* .*%xmm")
NAMESPACE = "grainel::avx2::"
# How the namespace reads in a name objdump leaves mangled, as it does those whose template
# arguments hold an expression it cannot demangle.
MANGLED_NAMESPACE = "7grainel4avx2"


def vex_functions(path):
    """{function: its first VEX-encoded instruction} for every function of the file that has one."""
    listing = subprocess.run(["objdump", "-d", "-C", "--no-show-raw-insn", path], check=True,
                             capture_output=True, text=True).stdout
    found, function = {}, None
    for line in listing.splitlines():
        if header := FUNCTION.match(line):
            function = header[1]
        elif (instruction := INSTRUCTION.match(line)) and VEX.search(instruction[1]):
            found.setdefault(function, instruction[1])
    return found


def main(modules):
    failed = False
    for module in modules:
        path = importlib.util.find_spec(module).origin
        found = vex_functions(path)
        outside = {f: i for f, i in found.items() if NAMESPACE not in f and MANGLED_NAMESPACE not in f}
        if not found:
            print(f"{path}: no AVX code at all: were the AVX2 kernels built?", file=sys.stderr)
            failed = True
        if outside:
            print(f"{path}: {len(outside)} functions outside {NAMESPACE[:-2]} hold AVX instructions,"
                  " which a CPU without AVX cannot run:", file=sys.stderr)
            for function in sorted(outside):
                print(f"  {function}\n      {outside[function]}", file=sys.stderr)
            failed = True
    return failed


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
