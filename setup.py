"""Builds the wheel (the stable-ABI extension modules, the `vestrel` package,
the module's type stubs) and the source release.

The extensions are not compiled by setuptools. build_ext runs the project's own
CMake build and ships each module the CMake target wrote: debug information
moved to a .debug file that stays in the CMake tree, the symbol table kept.
tools/elf_policy.py then checks every shipped module; only if all pass is the
wheel tagged manylinux_2_28_<processor> (x86_64 or aarch64, read from the
modules themselves), and a breach fails the build.

The source release carries the pinned ML-DSA-65 C sources, taken from the npm
package that deps/package-lock.json names when the release is made, with their
licences, under deps/pqclean/; a build from it needs neither npm nor a network.
A git checkout never holds them: there the CMake configure step fetches them.

Environment:
  VESTREL_CMAKE_BUILD_DIR  CMake build tree to use (default: build-pip/cmake).
                           A new tree is configured without the tests; an
                           existing one (the tree of scripts/test.sh, say)
                           keeps its options and only rebuilds what changed.
  VESTREL_PYTHON           interpreter whose headers CMake compiles against
                           (default: the one CMakeLists.txt picks). The modules
                           use only the limited API, so any 3.9+ headers give
                           the same binary interface.
  VESTREL_CROSS            aarch64: cross-compile with Debian's
                           g++-aarch64-linux-gnu (cmake/aarch64-linux-gnu.cmake),
                           in build-pip/cmake-aarch64 unless
                           VESTREL_CMAKE_BUILD_DIR says otherwise;
                           VESTREL_PYTHON_INCLUDE_DIRS then names the target's
                           CPython headers (scripts/wheels.sh does all this).
  VESTREL_CMAKE_ARGS       more options for a fresh tree's configure step,
                           split as a shell would (-DCMAKE_BUILD_TYPE=Debug,
                           say: the last one given wins).
"""

from __future__ import annotations

import hashlib
import os
import shlex
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.sdist import sdist

try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:  # setuptools before 70.1 takes it from the wheel package
    from wheel.bdist_wheel import bdist_wheel

ROOT = os.path.dirname(os.path.abspath(__file__))
CROSS = os.environ.get("VESTREL_CROSS", "")
if CROSS not in ("", "aarch64"):
    sys.exit(f"VESTREL_CROSS={CROSS}: the one cross target is aarch64")
# Kept away from build/, which scripts/test.sh uses with the test targets on;
# each processor's copies in a folder of their own.
BUILD_BASE = os.path.join("build-pip", "setuptools" + (f"-{CROSS}" if CROSS else ""))
STUBS = "vestrel_kernel-stubs"
PACKAGE = "vestrel"


class CMakeExtension(Extension):
    """An extension module that a CMake target builds.

    output: the file the target writes, relative to the CMake tree."""

    def __init__(self, name: str, target: str, output: str) -> None:
        # py_limited_api gives the copied file its .abi3.so name.
        super().__init__(name, sources=[], py_limited_api=True)
        self.cmake_target = target
        self.cmake_output = output


EXTENSIONS = [
    CMakeExtension("vestrel_kernel", "vestrel_kernel_py", "kernel-py/vestrel_kernel.abi3.so"),
    CMakeExtension("vestrel._native", "vestrel_native_py", "python/vestrel/_native.abi3.so"),
]


def run(cmd: list[str], **kwargs) -> None:
    print("+", " ".join(cmd), flush=True)
    subprocess.run(cmd, check=True, **kwargs)


def elf_policy():
    sys.path.insert(0, os.path.join(ROOT, "tools"))
    import elf_policy as policy  # needs pyelftools, a build requirement

    return policy


class CMakeBuild(build_ext):
    platform_tag = None  # set once every shipped module has passed the policy
    _configured = False  # one CMake configure per build, however many extensions

    def run(self) -> None:
        super().run()
        policy = elf_policy()
        shipped = [self.get_ext_fullpath(ext.name) for ext in self.extensions]
        tags = {policy.tag_of(path) for path in shipped}
        if len(tags) != 1:
            sys.exit(f"the extension modules are built for different processors: {sorted(tags)}")
        [tag] = tags
        breaches = [f"{os.path.basename(path)}: {breach}" for path in shipped
                    for _, found, _ in policy.check_path(path) for breach in found]
        if breaches:
            sys.exit("the extension modules do not fit " + tag + ":\n  " + "\n  ".join(breaches))
        self.platform_tag = tag

    def build_extension(self, ext: Extension) -> None:
        build_dir = self._configure()
        jobs = str(os.cpu_count() or 1)
        run(["cmake", "--build", build_dir, "--target", ext.cmake_target, "-j", jobs])

        # The shipped file loses its debug information and points to the
        # .debug file beside the build's own copy, which keeps it all.
        built = os.path.join(build_dir, ext.cmake_output)
        debug = built + ".debug"
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        # The host's objcopy knows only the host's processor.
        objcopy = f"{CROSS}-linux-gnu-objcopy" if CROSS else "objcopy"
        run([objcopy, "--only-keep-debug", built, debug])
        run([objcopy, "--strip-debug", "--add-gnu-debuglink=" + debug, built, target])
        if ext.name == "vestrel._native":
            # The version file CMake generated from pyproject.toml, for a copy
            # of the package that runs without its metadata.
            shutil.copyfile(os.path.join(os.path.dirname(built), "_version.py"),
                            os.path.join(os.path.dirname(target), "_version.py"))

    def _configure(self) -> str:
        build_dir = os.environ.get("VESTREL_CMAKE_BUILD_DIR") or os.path.join(
            ROOT, "build-pip", "cmake" + (f"-{CROSS}" if CROSS else ""))
        if self._configured:
            return build_dir
        configure = ["cmake", "-S", ROOT, "-B", build_dir]
        if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
            # A fresh tree builds only what the wheel needs; an existing one
            # (such as the tree scripts/test.sh uses) keeps its own options.
            configure += ["-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DVESTREL_BUILD_TESTS=OFF"]
            if CROSS:
                headers = os.environ.get("VESTREL_PYTHON_INCLUDE_DIRS")
                if not headers:
                    sys.exit("VESTREL_CROSS needs VESTREL_PYTHON_INCLUDE_DIRS: the target's CPython headers")
                configure += [f"-DCMAKE_TOOLCHAIN_FILE={ROOT}/cmake/{CROSS}-linux-gnu.cmake",
                              f"-DVESTREL_PYTHON_INCLUDE_DIRS={headers}"]
            configure += shlex.split(os.environ.get("VESTREL_CMAKE_ARGS", ""))
        python = os.environ.get("VESTREL_PYTHON")
        if python:
            configure.append(f"-DPython3_EXECUTABLE={python}")
        run(configure)
        self._configured = True
        return build_dir


class Wheel(bdist_wheel):
    def get_tag(self):
        python, abi, platform = super().get_tag()
        if platform.startswith("linux_"):
            # build_ext has run by now and stopped the build on any breach; the
            # tag names the processor the modules are built for, which a cross
            # build makes another than this machine's.
            platform = self.get_finalized_command("build_ext").platform_tag
            if platform is None:
                raise RuntimeError("extension modules not checked; refusing the manylinux tag")
        return python, abi, platform


class SourceRelease(sdist):
    """Adds the pinned ML-DSA-65 sources to the release tree."""

    # What the build compiles, and the licences that come with it.
    PACKAGE_FILES = ["LICENSE", "package.json", "deps/PQClean/README.md"]
    PACKAGE_TREES = ["deps/PQClean/common", "deps/PQClean/crypto_sign/ml-dsa-65/clean"]

    def make_release_tree(self, base_dir: str, files: list[str]) -> None:
        super().make_release_tree(base_dir, files)
        package = self._fetch()
        vendored = os.path.join(base_dir, "deps", "pqclean")
        for name in self.PACKAGE_FILES:
            os.makedirs(os.path.dirname(os.path.join(vendored, name)), exist_ok=True)
            shutil.copyfile(os.path.join(package, name), os.path.join(vendored, name))
        for tree in self.PACKAGE_TREES:
            shutil.copytree(os.path.join(package, tree), os.path.join(vendored, tree))
        # The CMake build refuses sources taken from another lock file.
        with open(os.path.join(vendored, "LOCK_SHA256"), "w") as stamp:
            stamp.write(lock_hash() + "\n")

    @staticmethod
    def _fetch() -> str:
        """The unpacked npm package, fetched with npm ci unless already there."""
        npm_dir = os.path.join(ROOT, "build-pip", "npm")
        stamp = os.path.join(npm_dir, "LOCK_SHA256")
        package = os.path.join(npm_dir, "node_modules", "pqclean")
        fresh = os.path.exists(stamp) and open(stamp).read().strip() == lock_hash()
        if not fresh:
            os.makedirs(npm_dir, exist_ok=True)
            for name in ("package.json", "package-lock.json"):
                shutil.copyfile(os.path.join(ROOT, "deps", name), os.path.join(npm_dir, name))
            run(["npm", "ci", "--ignore-scripts", "--no-audit", "--no-fund"], cwd=npm_dir)
            with open(stamp, "w") as out:
                out.write(lock_hash() + "\n")
        return package


def lock_hash() -> str:
    with open(os.path.join(ROOT, "deps", "package-lock.json"), "rb") as lock:
        return hashlib.sha256(lock.read()).hexdigest()


# setuptools' own scratch files (egg-info included) go under build-pip/ too,
# so an in-tree build leaves the source tree as it found it.
os.makedirs(BUILD_BASE, exist_ok=True)

setup(
    ext_modules=EXTENSIONS,
    cmdclass={"build_ext": CMakeBuild, "bdist_wheel": Wheel, "sdist": SourceRelease},
    packages=[STUBS, PACKAGE],
    package_dir={STUBS: os.path.join("stubs", STUBS), PACKAGE: os.path.join("python", PACKAGE)},
    package_data={STUBS: ["__init__.pyi"], PACKAGE: ["py.typed", "*.pyi"]},
    options={
        "build": {"build_base": BUILD_BASE},
        "egg_info": {"egg_base": BUILD_BASE},
        # One binary serves every CPython from 3.9 on.
        "bdist_wheel": {"py_limited_api": "cp39"},
    },
)
