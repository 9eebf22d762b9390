"""The binary wheel installs and runs where no build tools exist.

`make wheel` builds the wheel and repairs it into dist/. It shares its build
folder with the installs, so right after `make install-test` it compiles
nothing and takes a few seconds: the test builds it every time rather than
guess whether a wheel left in dist/ still matches the sources and options.
The wheel is then installed, binary packages only, into a fresh venv of this
interpreter that has no build tools, and the README's quickstart runs there
from a folder outside the repository.

pip takes numpy, networkx, matplotlib and scipy from PyPI (or its cache), so
the test needs the network. The wheel does not depend on the event loop: the
suite's uvloop run skips it, and so does the sanitizer run (the wheel is a
release build of its own).
"""
import os
import re
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from helpers import on_uvloop

ROOT = Path(__file__).resolve().parents[1]
PACKAGE_SOURCES = ROOT / "src" / "velkor"
# What building needs and an installed wheel must not: the build backend,
# the binding library and the build programs' Python packages.
BUILD_TOOLS = ("scikit_build_core", "nanobind", "cmake", "ninja")
# Files of the package that ship as they are; everything else under src/ is
# compiled (or only used to compile) and must stay out of the wheel.
SHIPPED_SUFFIXES = (".py", ".pyi", ".typed")
THIS_PYTHON = f"cp{sys.version_info.major}{sys.version_info.minor}"

pytestmark = [
    pytest.mark.skipif(on_uvloop(), reason="checked once, in the run on asyncio's loop"),
    pytest.mark.skipif(bool(os.environ.get("VELKOR_SANITIZED")),
                       reason="the wheel is a release build, not the sanitizer build"),
    pytest.mark.timeout(900),
]


def run(args, timeout, **kwargs):
    """Run a command to its end; fail with its output unless it succeeds."""
    done = subprocess.run([str(a) for a in args], capture_output=True, text=True,
                          timeout=timeout, **kwargs)
    assert done.returncode == 0, (f"{' '.join(map(str, args))} exited {done.returncode}\n"
                                  f"--- stdout\n{done.stdout}\n--- stderr\n{done.stderr}")
    return done


def user_environment():
    """This process's environment without what points Python at the
    repository, another environment or the suite's own switches."""
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(("PYTHON", "VELKOR_")) and k != "VIRTUAL_ENV"}
    return env


def readme_section_blocks(heading):
    """The fenced blocks of the README section `heading`, as (language, text)."""
    text = (ROOT / "README.md").read_text()
    start = text.index(f"\n## {heading}\n")
    end = text.find("\n## ", start + 1)
    section = text[start:end if end != -1 else len(text)]
    return re.findall(r"^```(\w*)\n(.*?)^```$", section, flags=re.S | re.M)


def quickstart():
    """The quickstart's code and the output the README says it prints."""
    blocks = readme_section_blocks("Quickstart")
    code = [body for lang, body in blocks if lang == "python"]
    output = [body for lang, body in blocks if lang == "text"]
    assert len(code) == 1 and len(output) == 1, blocks
    return code[0], output[0]


def wheel_tags(path):
    """(name, version, python, abi, platforms) of a wheel file name:
    name-version-python-abi-platform[.platform...].whl."""
    name, version, python, abi, platforms = path.stem.split("-")
    return name, version, python, abi, platforms.split(".")


@pytest.fixture(scope="module")
def wheel():
    run(["make", "--no-print-directory", "-C", ROOT, "wheel"], timeout=900)
    wheels = list((ROOT / "dist").glob("velkor-*.whl"))
    assert len(wheels) == 1, f"make wheel should leave one wheel in dist/: {wheels}"
    return wheels[0]


@pytest.fixture(scope="module")
def installed(wheel, tmp_path_factory):
    """The python of a fresh venv of this interpreter with the wheel installed."""
    venv = tmp_path_factory.mktemp("wheel") / "venv"
    run([sys.executable, "-m", "venv", venv], timeout=300, env=user_environment())
    python = venv / "bin" / "python"
    # --no-compile: the byte code of scipy and matplotlib, which the
    # quickstart mostly does not import, would take most of the time.
    run([python, "-m", "pip", "install", "-q", "--no-compile", "--only-binary=:all:", wheel],
        timeout=900, env=user_environment())
    return python


def test_wheel_is_tagged_manylinux_for_this_python(wheel):
    _name, _version, python, abi, platforms = wheel_tags(wheel)
    assert (python, abi) == (THIS_PYTHON, THIS_PYTHON)
    assert platforms and all(p.startswith("manylinux") for p in platforms), platforms
    with zipfile.ZipFile(wheel) as archive:
        info = archive.read(next(n for n in archive.namelist()
                                 if n.endswith(".dist-info/WHEEL"))).decode()
    tags = re.findall(r"^Tag: (\S+)$", info, flags=re.M)
    assert sorted(tags) == sorted(f"{python}-{abi}-{p}" for p in platforms)
    assert "Root-Is-Purelib: false" in info


def test_wheel_holds_the_package_and_no_sources_or_test_module(wheel):
    name, version, *_tags = wheel_tags(wheel)
    with zipfile.ZipFile(wheel) as archive:
        names = [n for n in archive.namelist() if not n.endswith("/")]
    # Only the package, its metadata and the libraries auditwheel may graft.
    assert {n.split("/")[0] for n in names} <= {
        "velkor", f"{name}-{version}.dist-info", "velkor.libs"}, names

    compiled = {p for p in (ROOT / "src").rglob("*")
                if p.is_file() and p.suffix not in SHIPPED_SUFFIXES}
    assert compiled, "the sources should hold C++ files"
    source_suffixes = {p.suffix for p in compiled}
    source_names = {p.name for p in compiled}
    sources = [n for n in names
               if Path(n).suffix in source_suffixes or Path(n).name in source_names]
    assert not sources

    # Every Python file of the package ships, and one extension module for
    # each stub without a Python module: nothing more (no test module).
    shipped = {f"velkor/{p.name}" for p in PACKAGE_SOURCES.iterdir()
               if p.is_file() and p.suffix in SHIPPED_SUFFIXES}
    assert shipped <= set(names), shipped - set(names)
    stubs = {p.stem for p in PACKAGE_SOURCES.glob("*.pyi")
             if not (PACKAGE_SOURCES / f"{p.stem}.py").exists() and p.stem != "__init__"}
    modules = {Path(n).name.split(".")[0] for n in names
               if n.startswith("velkor/") and n.endswith(".so")}
    assert modules == stubs, f"extension modules {modules}, stubs {stubs}"
    test_files = [n for n in names if "test" in n.lower()]
    assert not test_files


def test_fresh_venv_has_no_build_tools(installed):
    found = run([installed, "-I", "-c",
                 "import importlib.util, sys\n"
                 f"print([m for m in {BUILD_TOOLS!r} if importlib.util.find_spec(m)])\n"
                 "print(sys.version)"],
                timeout=60, env=user_environment()).stdout.splitlines()
    assert found == ["[]", sys.version]


def test_installed_package_is_what_imports(installed, tmp_path):
    where = run([installed, "-I", "-c",
                 "import sys, velkor, velkor.dravel, velkor.router\n"
                 "print(sys.prefix)\n"
                 "for m in (velkor, velkor.velkor, velkor.dravel, velkor.router):\n"
                 "    print(m.__file__)"],
                timeout=120, cwd=tmp_path, env=user_environment()).stdout.splitlines()
    prefix = Path(where[0])
    assert prefix == installed.parent.parent
    for path in where[1:]:
        assert Path(path).is_relative_to(prefix) and "site-packages" in path, path


def test_readme_quickstart_runs_from_the_wheel(installed, tmp_path):
    code, expected = quickstart()
    script = tmp_path / "quickstart.py"
    script.write_text(code)
    done = run([installed, "-I", script], timeout=120, cwd=tmp_path, env=user_environment())
    assert done.stderr == ""
    # The lines are compared as a set: the wheel is checked here, not the order.
    assert sorted(done.stdout.splitlines()) == sorted(expected.splitlines())
