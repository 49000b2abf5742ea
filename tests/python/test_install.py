"""cmake --install puts the package where Debian's python3 looks, and it imports from there."""
import os
import subprocess
import sys
import sysconfig

import pytest


def test_installed_package_imports_from_debians_path(tmp_path):
    build = os.environ.get("PLUMBRA_BUILD_DIR")
    if not build:
        pytest.skip("PLUMBRA_BUILD_DIR is not set (ctest sets it)")
    cache = open(os.path.join(build, "CMakeCache.txt")).read()
    prefix = next(l.split("=", 1)[1] for l in cache.splitlines() if l.startswith("CMAKE_INSTALL_PREFIX:"))
    subprocess.run(["cmake", "--install", os.path.join(build, "python"), "--prefix", str(tmp_path)], check=True,
                   capture_output=True)
    found = [os.path.dirname(os.path.join(d, f)) for d, _, fs in os.walk(tmp_path) for f in fs if f == "__init__.py"]
    assert len(found) == 1
    files = sorted(os.listdir(found[0]))
    assert files[:2] == ["__init__.py", "_plumbra" + sysconfig.get_config_var("EXT_SUFFIX")] and files[2:] == ["dask.py"]
    site = os.path.dirname(found[0])
    # The same folder under the configured prefix is on Debian's python3's own path.
    search = subprocess.run(["/usr/bin/python3", "-c", "import sys; print('\\n'.join(sys.path))"], capture_output=True,
                            text=True, env={}).stdout.split()
    assert os.path.join(prefix, os.path.relpath(site, tmp_path)) in search
    env = {"PYTHONPATH": site, "PYTHONDONTWRITEBYTECODE": "1"}
    r = subprocess.run([sys.executable, "-c", "import plumbra, plumbra.dask; print(plumbra.__file__)"], env=env,
                       capture_output=True, text=True, cwd=tmp_path)
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith(site)
