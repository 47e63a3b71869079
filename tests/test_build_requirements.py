"""A build from source on a machine without one of its requirements stops with
the Debian package to install, not with CMake's own "Could NOT find"."""

from __future__ import annotations

import os
import shutil
import subprocess

import pytest

from conftest import REPO, SANITIZED

CMAKE = shutil.which("cmake")
# The machine cmake configures a build for: its own, which is not this
# interpreter's where an emulator runs the suite (the host's cmake, and uname,
# run natively there).
BUILD_MACHINE = subprocess.run(["uname", "-m"], capture_output=True, text=True).stdout.strip()

pytestmark = pytest.mark.skipif(
    CMAKE is None or SANITIZED, reason="needs cmake on PATH, and runs it unsanitized")


@pytest.mark.parametrize(
    ("package", "args", "env"),
    [
        ("libssl-dev", ["-DCMAKE_DISABLE_FIND_PACKAGE_OpenSSL=ON"], {}),
        ("libsodium-dev", [], {"PKG_CONFIG_LIBDIR": "/nonexistent", "PKG_CONFIG_PATH": ""}),
        pytest.param("libipsec-mb-dev", ["-DIPSEC_MB_LIBRARY=IPSEC_MB_LIBRARY-NOTFOUND",
                                         "-DCMAKE_IGNORE_PATH=/usr/lib/x86_64-linux-gnu/libIPSec_MB.so"], {},
                     marks=pytest.mark.skipif(BUILD_MACHINE != "x86_64",
                                              reason="ipsec-mb is required by x86-64 builds only")),
        # The headers found before RapidJSON's are given, so that hiding
        # /usr/include hides RapidJSON alone.
        ("rapidjson-dev", ["-DCMAKE_IGNORE_PATH=/usr/include", "-DOPENSSL_INCLUDE_DIR=/usr/include",
                           "-DIPSEC_MB_INCLUDE_DIR=/usr/include"], {}),
        ("pkg-config", ["-DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON"], {}),
    ],
    ids=["openssl", "libsodium", "ipsec-mb", "rapidjson", "pkg-config"],
)
def test_missing_library_names_its_debian_package(tmp_path, package, args, env):
    # cmake (here a Python script of the build environment) gets no trace of
    # the interpreter under test: an emulated one's PYTHONHOME would be taken
    # for its own.
    base = {k: v for k, v in os.environ.items() if k not in ("PYTHONHOME", "PYTHONPATH")}
    run = subprocess.run(
        [CMAKE, "-S", str(REPO), "-B", str(tmp_path), *args],
        capture_output=True, text=True, env={**base, **env}, timeout=120)
    assert run.returncode != 0
    assert f"install the Debian package {package}" in " ".join(run.stderr.split())
    assert "Could NOT find" not in run.stdout + run.stderr
