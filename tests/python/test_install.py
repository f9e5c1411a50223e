"""The module installed: with pip from the source tree into a virtual
environment, with no network, and imported from there; and by
`cmake --install` with the library and the example, which then runs against
docksim."""
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import ferrylink
from test_example import check_session, run_example

SOURCE = pathlib.Path(__file__).resolve().parents[2] / "python"
BUILD_DIR = os.environ.get("FERRYLINK_BUILD_DIR", "")
CMAKE = os.environ.get("CMAKE_COMMAND", "cmake")


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


@pytest.mark.skipif(not BUILD_DIR, reason="needs the build tree (FERRYLINK_BUILD_DIR)")
def test_installed_module_and_example(docksim, tmp_path):
    prefix = tmp_path / "prefix with blank"
    subprocess.run([CMAKE, "--install", BUILD_DIR, "--prefix", str(prefix)], check=True, capture_output=True,
                   timeout=120)
    site = prefix / "lib/python3/dist-packages"
    assert (site / "ferrylink/__init__.py").exists() and (site / "ferrylink/py.typed").exists()
    # Moved after the install: the module finds its library relative to itself.
    moved = tmp_path / "moved"
    prefix.rename(moved)
    site = moved / "lib/python3/dist-packages"
    env = {k: v for k, v in os.environ.items() if k not in ("FERRYLINK_LIBRARY", "PYTHONPATH")}
    env["PYTHONPATH"] = str(site)
    found = subprocess.run([sys.executable, "-c", "import ferrylink; print(ferrylink.load_library()._name)"],
                           env=env, capture_output=True, text=True, timeout=30, check=True).stdout.strip()
    assert moved.resolve() in pathlib.Path(found).resolve().parents
    assert pathlib.Path(found).name == "libferrylink.so.1"

    examples = list(moved.glob("share/doc/*/examples/ferry_example.py"))
    assert len(examples) == 1 and os.access(examples[0], os.X_OK)
    text, sim = docksim("tcp")
    status, output, errors = run_example(str(examples[0]), [text, "--seconds", "0.7"], env=env,
                                         on_waiting=lambda: sim.command("burst 12 2"))
    assert status == 0, errors
    check_session(output, 2)
