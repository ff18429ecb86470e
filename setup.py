"""Builds the extension with the project's CMake, for the interpreter running this build.

The version is the one CMakeLists.txt declares, as `stoploss --version` prints it. Each
interpreter keeps its CMake tree under build/, so a second build only compiles what changed."""
import hashlib
import re
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def project_version():
    text = (ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(StopLoss VERSION (\S+)", text).group(1)


class CMakeExtension(Extension):
    def __init__(self, name):
        super().__init__(name, sources=[])


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        interpreter = hashlib.sha1(sys.executable.encode()).hexdigest()[:8]
        tree = ROOT / "build" / f"wheel-{sys.implementation.cache_tag}-{interpreter}"
        output = Path(self.get_ext_fullpath(ext.name)).resolve()
        subprocess.run(["cmake", "-S", str(ROOT), "-B", str(tree), "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF",
                        f"-DPython_EXECUTABLE={sys.executable}",
                        f"-DCMAKE_LIBRARY_OUTPUT_DIRECTORY={output.parent}"],
                       check=True, stdout=subprocess.DEVNULL)
        subprocess.run(["cmake", "--build", str(tree), "--target", "stoploss_python"], check=True)


setup(version=project_version(), packages=[], ext_modules=[CMakeExtension("stoploss")],
      cmdclass={"build_ext": CMakeBuild})
