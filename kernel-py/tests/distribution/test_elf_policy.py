"""tools/elf_policy.py, the check a module must pass before the wheel is tagged
manylinux_2_28: it passes the module the build ships, and names the breach in
small modules built here to break one rule each, for x86-64 and (with Debian's
cross compiler) for aarch64."""

import os
import shutil
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from conftest import builds_once

REPO = Path(__file__).resolve().parents[3]
sys.path.insert(0, str(REPO / "tools"))
elf_policy = pytest.importorskip("elf_policy", reason="needs pyelftools (python3-pyelftools)")

pytestmark = builds_once("compiles its modules once per suite, under Debian's python3",
                         can_build=shutil.which("gcc") is not None)

INIT = '__attribute__((visibility("default"))) void* PyInit_{name}(void) {{ return {body}; }}\n'
# Each processor's C compiler, and a libcrypto to link against: this machine's,
# and the arm64 one that scripts/aarch64_python.sh unpacks.
COMPILERS = {"x86_64": "gcc", "aarch64": "aarch64-linux-gnu-gcc"}
LIBCRYPTO = {"x86_64": Path("/usr/lib/x86_64-linux-gnu/libcrypto.so.3"),
             "aarch64": REPO / "build-aarch64/python/usr/lib/aarch64-linux-gnu/libcrypto.so.3"}

# (name, extra C before the init function, the init function's return value,
#  extra compiler flags, the breaches expected)
MODULES = [
    ("good", "", "0", [], []),
    ("cxx_runtime", "void* _Znwm(unsigned long);\n", "_Znwm(1)", ["-l:libstdc++.so.6"],
     ["needs libstdc++.so.6", "asks libstdc++.so.6 for version GLIBCXX_3.4",
      "C++ runtime symbol in the dynamic table: _Znwm"]),
    ("libcrypto", "unsigned long OpenSSL_version_num(void);\n", "(void*)OpenSSL_version_num()",
     ["-l:libcrypto.so.3"], ["needs libcrypto.so.3", "asks libcrypto.so.3 for version OPENSSL_3.0.0"]),
    ("glibc_2_34", "#include <pthread.h>\nstatic char name[16];\n",
     "(void*)(long)pthread_getname_np(pthread_self(), name, 16)", ["-pthread"],
     ["asks for GLIBC_2.34, newer than GLIBC_2.28"]),
    ("extra_export", '__attribute__((visibility("default"))) int helper(void) { return 1; }\n', "0", [],
     ["exports helper"]),
    ("cxx_export", '__attribute__((visibility("default"))) int _ZN7vestrel6helperEv(void) { return 1; }\n',
     "0", [], ["C++ runtime symbol in the dynamic table: _ZN7vestrel6helperEv",
               "exports _ZN7vestrel6helperEv"]),
    ("debug_info", "", "0", ["-g"],
     ["carries debug information (.debug_abbrev, .debug_aranges, .debug_info...)"]),
    ("no_symtab", "", "0", ["-s"], ["has no symbol table: fault reports could not name functions"]),
]


def build(tmp_path, name, prelude, body, flags, module=None, processor="x86_64"):
    source = tmp_path / f"{name}.c"
    source.write_text("#define _GNU_SOURCE\n" + prelude + INIT.format(name=name, body=body))
    out = tmp_path / f"{module or name}.abi3.so"
    if shutil.which(COMPILERS[processor]) is None:
        pytest.skip(f"no {COMPILERS[processor]} (g++-aarch64-linux-gnu) to build for {processor}")
    if "-l:libcrypto.so.3" in flags:
        if not LIBCRYPTO[processor].exists():
            pytest.skip(f"no {processor} libcrypto.so.3 to link against")
        flags = [*flags, f"-L{LIBCRYPTO[processor].parent}"]
    subprocess.run([COMPILERS[processor], "-shared", "-fPIC", "-fvisibility=hidden", "-O1", "-o",
                    str(out), str(source), *flags], check=True, capture_output=True)
    return out


@pytest.mark.parametrize("processor", COMPILERS)
@pytest.mark.parametrize("name,prelude,body,flags,expected", MODULES, ids=[m[0] for m in MODULES])
def test_each_rule_names_its_breach(tmp_path, name, prelude, body, flags, expected, processor):
    module = build(tmp_path, name, prelude, body, flags, processor=processor)
    [(_, breaches, _)] = elf_policy.check_path(module)
    assert sorted(breaches) == sorted(expected)
    assert elf_policy.tag_of(module) == f"manylinux_2_28_{processor}"


@pytest.mark.parametrize("tagged,built", [("x86_64", "aarch64"), ("aarch64", "x86_64")])
def test_a_wheel_holds_modules_of_its_own_processor_only(tmp_path, tagged, built):
    module = build(tmp_path, "vestrel_kernel", "", "0", [], processor=built)
    wheel = tmp_path / f"vestrel_kernel-0-cp39-abi3-manylinux_2_28_{tagged}.whl"
    with zipfile.ZipFile(wheel, "w") as archive:
        archive.write(module, module.name)
    [(_, breaches, _)] = elf_policy.check_path(wheel)
    assert breaches == [f"built for {built}, in a wheel for {tagged}"]


def test_init_function_must_match_the_file_name(tmp_path):
    module = build(tmp_path, "good", "", "0", [], module="renamed")
    [(_, breaches, _)] = elf_policy.check_path(module)
    assert breaches == ["does not export PyInit_renamed", "exports PyInit_good"]


def test_the_built_modules_pass_once_their_debug_information_is_moved_out(tmp_path):
    """The link rules hold for every module the build makes, the test-only one
    included; only the debug information is left for the wheel step to strip."""
    module_dir = Path(os.environ["VESTREL_KERNEL_MODULE_DIR"])
    built = sorted(module_dir.glob("*.abi3.so"))
    assert built
    for path in built:
        shipped = tmp_path / path.name
        subprocess.run(["objcopy", "--strip-debug", path, shipped], check=True)
        [(_, breaches, newest)] = elf_policy.check_path(shipped)
        if any("libasan" in b or "libubsan" in b for b in breaches):
            pytest.skip("a sanitized build links the sanitizers' runtimes")
        assert breaches == [], path.name
        assert newest <= (2, 28)
