"""PEP 517 build backend for varnex that needs no package index.

build_wheel configures and builds the native module with CMake (python/
CMakeLists.txt, against the interpreter that runs this backend and the
pybind11 of the system), then writes a wheel holding the package and the
module. Its build tree is $VARNEX_BUILD_DIR, else python/build/native, and is
reused between builds. The compiler cache is used when ccache is installed.
"""

import base64
import hashlib
import os
import shutil
import subprocess
import sys
import sysconfig
import zipfile

_HERE = os.path.dirname(os.path.abspath(__file__))
_ROOT = os.path.dirname(_HERE)  # python/
_NAME = "varnex"
_VERSION = "8.0"


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def _metadata():
    return ("Metadata-Version: 2.1\nName: %s\nVersion: %s\n"
            "Summary: DB-API 2.0 module for Varnex gateways\nRequires-Python: >=3.9\n"
            % (_NAME, _VERSION))


def _tag():
    impl = "cp%d%d" % sys.version_info[:2]
    plat = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return "%s-%s-%s" % (impl, impl, plat)


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    info = "%s-%s.dist-info" % (_NAME, _VERSION)
    os.makedirs(os.path.join(metadata_directory, info), exist_ok=True)
    with open(os.path.join(metadata_directory, info, "METADATA"), "w") as f:
        f.write(_metadata())
    return info


def _build_native():
    build = os.environ.get("VARNEX_BUILD_DIR") or os.path.join(_ROOT, "build", "native")
    args = ["cmake", "-S", _ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
            "-DPython3_EXECUTABLE=" + sys.executable]
    if shutil.which("ninja"):
        args += ["-G", "Ninja"] if not os.path.exists(os.path.join(build, "CMakeCache.txt")) else []
    if shutil.which("ccache"):
        args += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
    subprocess.run(args, check=True, stdout=sys.stderr)
    jobs = os.environ.get("VARNEX_BUILD_JOBS", "2")
    subprocess.run(["cmake", "--build", build, "--target", "_varnex", "-j", jobs], check=True,
                   stdout=sys.stderr)
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    module = os.path.join(build, "_varnex" + suffix)
    if not os.path.exists(module):
        raise RuntimeError("the build made no %s" % module)
    return module, "_varnex" + suffix


def _record_line(name, data):
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return "%s,sha256=%s,%d" % (name, digest, len(data))


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    module, module_name = _build_native()
    tag = _tag()
    wheel_name = "%s-%s-%s.whl" % (_NAME, _VERSION, tag)
    info = "%s-%s.dist-info" % (_NAME, _VERSION)
    files = []
    package = os.path.join(_ROOT, _NAME)
    for name in sorted(os.listdir(package)):
        if name.endswith(".py"):
            with open(os.path.join(package, name), "rb") as f:
                files.append(("%s/%s" % (_NAME, name), f.read()))
    with open(module, "rb") as f:
        files.append(("%s/%s" % (_NAME, module_name), f.read()))
    files.append((info + "/METADATA", _metadata().encode()))
    files.append((info + "/WHEEL", ("Wheel-Version: 1.0\nGenerator: varnex_backend\n"
                                    "Root-Is-Purelib: false\nTag: %s\n" % tag).encode()))
    record = [_record_line(n, d) for n, d in files] + [info + "/RECORD,,"]
    files.append((info + "/RECORD", ("\n".join(record) + "\n").encode()))
    path = os.path.join(wheel_directory, wheel_name)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        for name, data in files:
            z.writestr(name, data)
    return wheel_name
