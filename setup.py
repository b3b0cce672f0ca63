"""The extension subdiv._subdiv, built by the CMake project (no second list
of sources): build_ext configures it in its build folder for this
interpreter and builds the target subdiv_python, the static library with
it, then copies the extension into the package. The version is the public
header's. Environment: CMAKE_GENERATOR, CMAKE_BUILD_PARALLEL_LEVEL and
CMAKE_CXX_COMPILER_LAUNCHER are CMake's own; SUBDIV_CMAKE_ARGS adds
arguments to the configure step."""

import os
import re
import shlex
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

SOURCE = os.path.dirname(os.path.abspath(__file__))


def header_version():
    with open(os.path.join(SOURCE, "include", "subdiv", "subdiv.h")) as header:
        parts = dict(re.findall(r"#define SUBDIV_VERSION_(MAJOR|MINOR|PATCH) +(\d+)", header.read()))
    return f"{parts['MAJOR']}.{parts['MINOR']}.{parts['PATCH']}"


class cmake_build_ext(build_ext):
    def build_extension(self, ext):
        folder = os.path.abspath(os.path.join(self.build_temp, "cmake"))
        configure = ["cmake", "-S", SOURCE, "-B", folder, "-DCMAKE_BUILD_TYPE=Release",
                     "-DSUBDIV_TESTS=OFF", "-DSUBDIV_BENCH=OFF", "-DSUBDIV_PYTHON=ON",
                     f"-DSUBDIV_PYTHON_EXECUTABLE={sys.executable}"]
        if "CMAKE_GENERATOR" not in os.environ and shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        try:
            # pybind11 from pip, when there; else CMake finds Debian's
            import pybind11
            configure.append(f"-Dpybind11_DIR={pybind11.get_cmake_dir()}")
        except ImportError:
            pass
        configure += shlex.split(os.environ.get("SUBDIV_CMAKE_ARGS", ""))
        subprocess.run(configure, check=True)
        build = ["cmake", "--build", folder, "--target", "subdiv_python"]
        if "CMAKE_BUILD_PARALLEL_LEVEL" not in os.environ:
            build += ["--parallel", str(self.parallel or os.cpu_count() or 1)]
        subprocess.run(build, check=True)
        built = os.path.join(folder, "python", "subdiv", os.path.basename(self.get_ext_filename(ext.name)))
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built, target)


setup(version=header_version(),
      ext_modules=[Extension("subdiv._subdiv", sources=[])],
      cmdclass={"build_ext": cmake_build_ext})
