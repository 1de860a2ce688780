#!/usr/bin/env python3
"""Checks that extension modules will load on any Linux of their processor
(x86-64 or aarch64) with glibc 2.28 or later, before the wheel that carries
them is tagged manylinux_2_28_x86_64 or manylinux_2_28_aarch64.

Each shared object must
  - be built for x86-64 or aarch64 (a wheel's modules: for the processor its
    name is tagged with),
  - need no library beyond glibc's own (libc, libm, libpthread, libdl, librt,
    the processor's loader),
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
tagged; the distribution tests run it on good and bad modules of both
processors.
"""

import io
import re
import sys
import zipfile
from pathlib import PurePath

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection

GLIBC_CEILING = (2, 28)
# The processors a wheel is made for: ELF's name for each, its wheel tag's
# name, and its dynamic loader.
PROCESSORS = {"EM_X86_64": ("x86_64", "ld-linux-x86-64.so.2"),
              "EM_AARCH64": ("aarch64", "ld-linux-aarch64.so.1")}
GLIBC_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1"}
# The names a C++ runtime or its unwinder gives its functions and data...
CXX_PREFIXES = ("_Z", "__cxa_", "__gxx_", "_Unwind_", "__gcc_personality")
# ...except glibc's own, which every shared object built by g++ calls.
GLIBC_CXX_SUPPORT = {"__cxa_finalize", "__cxa_atexit", "__cxa_thread_atexit_impl"}


def glibc_version(name):
    match = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.(\d+))?", name)
    return tuple(int(part) for part in match.groups() if part is not None) if match else None


def tag_for(processor):
    return f"manylinux_2_{GLIBC_CEILING[1]}_{processor}"


def processor_of(elf):
    """The wheel tag's name of the processor an ELF file is built for, or None."""
    known = PROCESSORS.get(elf.header["e_machine"])
    return known[0] if known else None


def tag_of(path):
    """The manylinux tag for a module's processor (whether or not it passes)."""
    with open(path, "rb") as stream:
        processor = processor_of(ELFFile(stream))
    if processor is None:
        raise ValueError(f"{path}: built for a processor no wheel is made for")
    return tag_for(processor)


def check_elf(stream, name, processor=None):
    """(breaches, newest glibc version asked for) of one shared object; with
    processor, the module must be built for that one."""
    elf = ELFFile(stream)
    module = PurePath(name).name.split(".")[0]
    breaches = []
    built_for = processor_of(elf)
    if built_for is None:
        breaches.append(f"built for {elf.header['e_machine']}, not x86-64 or aarch64")
    elif processor is not None and built_for != processor:
        breaches.append(f"built for {built_for}, in a wheel for {processor}")
    loader = {PROCESSORS[m][1] for m in PROCESSORS if PROCESSORS[m][0] == built_for}
    allowed = GLIBC_LIBRARIES | loader
    # The first symbol version glibc has on each processor; only newer ones count.
    newest = (2, 17) if built_for == "aarch64" else (2, 2, 5)

    for section in elf.iter_sections():
        if isinstance(section, DynamicSection):
            for tag in section.iter_tags("DT_NEEDED"):
                if tag.needed not in allowed:
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


def wheel_processor(path):
    """The processor a wheel's name is tagged for (..._x86_64.whl), or None."""
    platform = PurePath(path).name[:-len(".whl")].split("-")[-1]
    return next((p for p, _ in PROCESSORS.values() if platform.endswith("_" + p)), None)


def check_path(path):
    """[(member name, breaches, newest glibc)] for a .so file or every .so in a wheel."""
    path = str(path)
    if path.endswith(".whl"):
        processor = wheel_processor(path)
        if processor is None:
            return [(path, ["is tagged for no processor a wheel is made for"], None)]
        with zipfile.ZipFile(path) as wheel:
            modules = [n for n in wheel.namelist() if n.endswith(".so")]
            if not modules:
                return [(path, ["holds no extension module"], None)]
            return [(n, *check_elf(io.BytesIO(wheel.read(n)), n, processor)) for n in modules]
    with open(path, "rb") as stream:
        return [(path, *check_elf(stream, path))]


def tag_of_checked(path, name):
    if str(path).endswith(".whl"):
        return tag_for(wheel_processor(path))
    return tag_of(name)


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
                print(f"{name}: fits {tag_of_checked(path, name)} (newest glibc symbol version: {glibc})")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
