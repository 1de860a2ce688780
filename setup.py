"""Builds the wheel: two stable-ABI extensions, the `vestrel` package and the
module's type stubs.

The extensions are not compiled by setuptools. build_ext runs the project's own
CMake build (which also fetches the pinned ML-DSA sources with npm) and copies
the resulting vestrel_kernel.abi3.so and vestrel/_native.abi3.so into place, so
the wheel holds exactly what scripts/demo.sh and scripts/test.sh build and test.

Environment:
  VESTREL_CMAKE_BUILD_DIR  CMake build tree to use (default: build-pip/cmake).
                           A new tree is configured without the tests; an
                           existing one (the tree of scripts/test.sh, say)
                           keeps its options and only rebuilds what changed.
  VESTREL_PYTHON           interpreter whose headers CMake compiles against
                           (default: the one CMakeLists.txt picks). The module
                           uses only the limited API, so any 3.9+ headers give
                           the same binary interface.
"""

import os
import shutil
import subprocess

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))
# Kept away from build/, which scripts/test.sh uses with the test targets on.
BUILD_BASE = os.path.join("build-pip", "setuptools")
STUBS = "vestrel_kernel-stubs"
PACKAGE = "vestrel"
# Extension name -> (CMake target, built file relative to the CMake tree).
EXTENSIONS = {
    "vestrel_kernel": ("vestrel_kernel_py", os.path.join("kernel-py", "vestrel_kernel.abi3.so")),
    "vestrel._native": ("vestrel_native_py", os.path.join("python", "vestrel", "_native.abi3.so")),
}


class CMakeExtension(Extension):
    def __init__(self, name: str) -> None:
        # py_limited_api gives the copied file its .abi3.so name.
        super().__init__(name, sources=[], py_limited_api=True)


class CMakeBuild(build_ext):
    def build_extension(self, ext: Extension) -> None:
        build_dir = os.environ.get("VESTREL_CMAKE_BUILD_DIR") or os.path.join(
            ROOT, "build-pip", "cmake")
        configure = ["cmake", "-S", ROOT, "-B", build_dir]
        if not os.path.exists(os.path.join(build_dir, "CMakeCache.txt")):
            # A fresh tree builds only what the wheel needs; an existing one
            # (such as the tree scripts/test.sh uses) keeps its own options.
            configure += ["-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DVESTREL_BUILD_TESTS=OFF"]
        python = os.environ.get("VESTREL_PYTHON")
        if python:
            configure.append(f"-DPython3_EXECUTABLE={python}")
        jobs = str(os.cpu_count() or 1)
        self._run(configure)
        cmake_target, built = EXTENSIONS[ext.name]
        self._run(["cmake", "--build", build_dir, "--target", cmake_target, "-j", jobs])

        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(os.path.join(build_dir, built), target)
        if ext.name == "vestrel._native":
            # The version file CMake generated from pyproject.toml, for a copy
            # of the package that runs without its metadata.
            shutil.copyfile(os.path.join(build_dir, "python", "vestrel", "_version.py"),
                            os.path.join(os.path.dirname(target), "_version.py"))

    @staticmethod
    def _run(cmd: list[str]) -> None:
        print("+", " ".join(cmd), flush=True)
        subprocess.run(cmd, check=True)


# setuptools' own scratch files (egg-info included) go under build-pip/ too,
# so an in-tree build leaves the source tree as it found it.
os.makedirs(BUILD_BASE, exist_ok=True)

setup(
    ext_modules=[CMakeExtension(name) for name in EXTENSIONS],
    cmdclass={"build_ext": CMakeBuild},
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
