"""The module installed with pip from the source tree into a virtual
environment, with no network, and imported from there."""
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import ferrylink

SOURCE = pathlib.Path(__file__).resolve().parents[2] / "python"


# Why the install cannot be tried here, or None.
MISSING = next((f"the {module} module is missing (Debian: {package})"
                for module, package in (("venv", "python3-venv"), ("pip", "python3-pip"),
                                        ("setuptools", "python3-setuptools"), ("wheel", "python3-wheel"))
                if importlib.util.find_spec(module) is None), None)


@pytest.mark.skipif(MISSING is not None, reason=str(MISSING))
def test_pip_installs_the_module_into_a_virtual_environment(tmp_path):
    # A copy: the build writes into the folder it installs from.
    source = tmp_path / "source"
    shutil.copytree(SOURCE, source, ignore=shutil.ignore_patterns("__pycache__", "build", "*.egg-info"))
    env_dir = tmp_path / "env"
    # The system's pip, run by the environment's Python, installs into the
    # environment: the same as its own bin/pip, without copying pip in.
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", "--without-pip", str(env_dir)],
                   check=True, capture_output=True, timeout=60)
    python = env_dir / "bin" / "python"
    subprocess.run([str(python), "-m", "pip", "install", "--no-build-isolation", "--no-index", "--no-compile",
                    "--disable-pip-version-check", "-q", str(source)], check=True, capture_output=True,
                   timeout=120, cwd=tmp_path)

    environment = {name: value for name, value in os.environ.items() if name != "PYTHONPATH"}
    shown = subprocess.run(
        [str(python), "-c", "import ferrylink, pathlib; print(ferrylink.__file__); print(ferrylink.__version__); "
                            "print(ferrylink.library_version()); "
                            "print((pathlib.Path(ferrylink.__file__).parent / 'py.typed').exists())"],
        env=environment, cwd=tmp_path, check=True, capture_output=True, text=True, timeout=30).stdout.split("\n")
    module, version, library, typed = shown[:4]
    assert pathlib.Path(module).resolve().is_relative_to(env_dir.resolve())
    assert version == library == ferrylink.__version__ and typed == "True"
