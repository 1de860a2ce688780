#!/usr/bin/env python3
"""Checks that extension modules will load on any x86-64 Linux with glibc 2.28
or later, before the wheel that carries them is tagged manylinux_2_28.

Each shared object must
  - need no library beyond glibc's own (libc, libm, libpthread, libdl, librt,
    the loader),
  - ask for no versioned glibc symbol newer than GLIBC_2.28 and for no other
    versioned library at all (a GLIBCXX_ or CXXABI_ version means the C++
    runtime was linked dynamically),
  - have no C++ or unwinder symbol in its dynamic table (a statically linked
    runtime must stay hidden),
  - export PyInit_<module> and nothing else,
  - carry no debug information but keep its symbol table, so a fault report's
    addresses can still be named.

    tools/elf_policy.py FILE.so|FILE.whl ...

Prints each breach and exits 1 if there is any. Needs pyelftools (Debian:
python3-pyelftools). setup.py runs it on every module before the wheel is
tagged; the distribution tests run it on good and bad modules.
"""

import io
import re
import sys
import zipfile
from pathlib import PurePath

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

TAG = "manylinux_2_28_x86_64"
GLIBC_CEILING = (2, 28)
ALLOWED_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
                     "ld-linux-x86-64.so.2"}
# The names a C++ runtime or its unwinder gives its functions and data...
CXX_PREFIXES = ("_Z", "__cxa_", "__gxx_", "_Unwind_", "__gcc_personality")
# ...except glibc's own, which every shared object built by g++ calls.
GLIBC_CXX_SUPPORT = {"__cxa_finalize", "__cxa_atexit", "__cxa_thread_atexit_impl"}


def glibc_version(name):
    match = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.(\d+))?", name)
    return tuple(int(part) for part in match.groups() if part is not None) if match else None


def check_elf(stream, name):
    """(breaches, newest glibc version asked for) of one shared object."""
    elf = ELFFile(stream)
    module = PurePath(name).name.split(".")[0]
    breaches, newest = [], (2, 2, 5)

    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            for tag in section.iter_tags("DT_NEEDED"):
                if tag.needed not in ALLOWED_LIBRARIES:
                    breaches.append(f"needs {tag.needed}")
        elif isinstance(section, GNUVerNeedSection):
            for needed, versions in section.iter_versions():
                for version in versions:
                    found = glibc_version(version.name)
                    if found is None:
                        breaches.append(f"asks {needed.name} for version {version.name}")
                    elif found > GLIBC_CEILING:
                        breaches.append(f"asks for {version.name}, newer than GLIBC_2.28")
                    newest = max(newest, found or newest)

    dynsym = elf.get_section_by_name(".dynsym")
    exported = set()
    for symbol in dynsym.iter_symbols() if dynsym else []:
        if not symbol.name:
            continue
        defined = symbol["st_shndx"] != "SHN_UNDEF"
        weak = symbol["st_info"]["bind"] == "STB_WEAK"
        # A weak reference that nothing defines resolves to null and makes the
        # loader look for nothing; libstdc++ leaves such references to the
        # transactional-memory library, for code this project never builds.
        if (symbol.name.startswith(CXX_PREFIXES) and symbol.name not in GLIBC_CXX_SUPPORT
                and (defined or not weak)):
            breaches.append(f"C++ runtime symbol in the dynamic table: {symbol.name}")
        if defined and symbol["st_info"]["bind"] != "STB_LOCAL":
            exported.add(symbol.name)
    init = f"PyInit_{module}"
    if init not in exported:
        breaches.append(f"does not export {init}")
    for extra in sorted(exported - {init}):
        breaches.append(f"exports {extra}")

    names = [section.name for section in elf.iter_sections()]
    debug = sorted(n for n in names if n.startswith((".debug_", ".zdebug_")) and n != ".debug_gnu")
    if debug:
        breaches.append(f"carries debug information ({', '.join(debug[:3])}...)")
    if ".symtab" not in names:
        breaches.append("has no symbol table: fault reports could not name functions")
    return breaches, newest


def check_path(path):
    """[(member name, breaches, newest glibc)] for a .so file or every .so in a wheel."""
    path = str(path)
    if path.endswith(".whl"):
        with zipfile.ZipFile(path) as wheel:
            modules = [n for n in wheel.namelist() if n.endswith(".so")]
            if not modules:
                return [(path, ["holds no extension module"], None)]
            return [(n, *check_elf(io.BytesIO(wheel.read(n)), n)) for n in modules]
    with open(path, "rb") as stream:
        return [(path, *check_elf(stream, path))]


def main(argv):
    if not argv:
        print(__doc__.strip().splitlines()[0], file=sys.stderr)
        return 2
    failed = False
    for path in argv:
        for name, breaches, newest in check_path(path):
            if breaches:
                failed = True
                for breach in breaches:
                    print(f"{name}: {breach}")
            else:
                glibc = ".".join(map(str, newest))
                print(f"{name}: fits {TAG} (newest glibc symbol version: {glibc})")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
