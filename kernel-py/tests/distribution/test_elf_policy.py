"""tools/elf_policy.py, the check a module must pass before the wheel is tagged
manylinux_2_28: it passes the module the build ships, and names the breach in
small modules built here to break one rule each."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import builds_once

REPO = Path(__file__).resolve().parents[3]
sys.path.insert(0, str(REPO / "tools"))
elf_policy = pytest.importorskip("elf_policy", reason="needs pyelftools (python3-pyelftools)")

pytestmark = builds_once("compiles its modules once per suite, under Debian's python3",
                         can_build=shutil.which("gcc") is not None)

INIT = '__attribute__((visibility("default"))) void* PyInit_{name}(void) {{ return {body}; }}\n'
LIBCRYPTO = Path("/usr/lib/x86_64-linux-gnu/libcrypto.so.3")

# (name, extra C before the init function, the init function's return value,
#  extra compiler flags, the breaches expected)
MODULES = [
    ("good", "", "0", [], []),
    ("cxx_runtime", "void* _Znwm(unsigned long);\n", "_Znwm(1)", ["-l:libstdc++.so.6"],
     ["needs libstdc++.so.6", "asks libstdc++.so.6 for version GLIBCXX_3.4",
      "C++ runtime symbol in the dynamic table: _Znwm"]),
    ("libcrypto", "unsigned long OpenSSL_version_num(void);\n", "(void*)OpenSSL_version_num()",
     [f"-l:{LIBCRYPTO.name}"], ["needs libcrypto.so.3", "asks libcrypto.so.3 for version OPENSSL_3.0.0"]),
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


def build(tmp_path, name, prelude, body, flags, module=None):
    source = tmp_path / f"{name}.c"
    source.write_text("#define _GNU_SOURCE\n" + prelude + INIT.format(name=name, body=body))
    out = tmp_path / f"{module or name}.abi3.so"
    subprocess.run(["gcc", "-shared", "-fPIC", "-fvisibility=hidden", "-O1", "-o", str(out),
                    str(source), *flags], check=True, capture_output=True)
    return out


@pytest.mark.parametrize("name,prelude,body,flags,expected", MODULES, ids=[m[0] for m in MODULES])
def test_each_rule_names_its_breach(tmp_path, name, prelude, body, flags, expected):
    if name == "libcrypto" and not LIBCRYPTO.exists():
        pytest.skip("no libcrypto.so.3 on this machine to link against")
    [(_, breaches, _)] = elf_policy.check_path(build(tmp_path, name, prelude, body, flags))
    assert sorted(breaches) == sorted(expected)


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
