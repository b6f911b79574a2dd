"""The package as its users meet it: the importable tree is laid out like the
installed wheel (namespace packages, stubs and marker beside the modules),
the stubs document every member and re-export nothing, the modules need
nothing newer than glibc 2.17 and no system C++ runtime, and the tools
explain themselves."""
import ast
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import kestrune.utils.kDict
from conftest import keyed_members

pytestmark = pytest.mark.no_refleak  # files and processes, nothing native

REPO = Path(__file__).resolve().parent.parent
MODULES = ("kDict", "kTag", "kEnvelope", "kState")
PKG = Path(kestrune.utils.kDict.__file__).parent  # .../kestrune/utils of the tree under test
TOOLS = sorted(p.name for p in (REPO / "tools").iterdir() if p.is_file() and os.access(p, os.X_OK))
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


def test_the_tree_under_test_is_laid_out_like_the_wheel():
    for name in MODULES:
        assert (PKG / f"{name}.pyi").read_bytes() == (REPO / "src/kestrune/utils" / f"{name}.pyi").read_bytes()
    assert (PKG / "py.typed").is_file()
    assert not (PKG / "__init__.py").exists() and not (PKG.parent / "__init__.py").exists()


def test_another_distribution_adds_modules_to_kestrune_utils(tmp_path):
    # A second portion of the namespace package, on a later path entry.
    (tmp_path / "kestrune/utils").mkdir(parents=True)
    (tmp_path / "kestrune/utils/kProduct.py").write_text("NAME = 'product'\n")
    code = ("import kestrune.utils.kProduct as p, kestrune.utils.kDict as d; "
            "print(p.NAME, d.kDict({'A': 1})['a'], len(__import__('kestrune.utils').utils.__path__))")
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(PKG.parent.parent), str(tmp_path)])}
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["product", "1", "2"]


def stub_problems(path):
    """Members without a docstring, and imports a type checker would take
    for re-exports, in one stub file."""
    tree = ast.parse(path.read_text())
    problems = []
    for node in ast.walk(tree):
        if isinstance(node, (ast.Import, ast.ImportFrom)):
            problems += [f"re-exports {a.name}" for a in node.names if a.asname and a.asname == a.name]
        if isinstance(node, (ast.Module, ast.ClassDef, ast.FunctionDef)) and ast.get_docstring(node) is None:
            problems.append(f"{getattr(node, 'name', 'module')} has no docstring")
        if isinstance(node, ast.ClassDef):
            body = node.body
            for i, item in enumerate(body):
                target = getattr(item, "target", None) or (item.targets[0] if isinstance(item, ast.Assign) else None)
                documented = (i + 1 < len(body) and isinstance(body[i + 1], ast.Expr)
                              and isinstance(body[i + 1].value, ast.Constant))
                if isinstance(target, ast.Name) and not documented:
                    problems.append(f"{node.name}.{target.id} has no docstring")
    return problems


@pytest.mark.parametrize("name", MODULES)
def test_stubs_document_every_member_and_re_export_nothing(name):
    assert stub_problems(REPO / "src/kestrune/utils" / f"{name}.pyi") == []


# The getters are read from the class: one added there without its line in
# the guide's conversion table or its benchmark row fails here.
GETTERS = [n for n in keyed_members(kestrune.utils.kDict.kDict) if n.startswith("get") or n == "Require"]


@pytest.mark.parametrize("name", GETTERS)
def test_every_getter_has_its_guide_line_and_benchmark_row(name):
    assert f"``{name}(key" in (REPO / "docs/guide.rst").read_text()
    if name != "Require":  # (it raises where the others fall back: no row of its own)
        assert name in re.findall(r'"d\.(\w+)\(', (REPO / "benchmarks/bench.py").read_text())


@pytest.mark.skipif(SANITIZED, reason="the sanitizer build links the shared C++ runtime")
@pytest.mark.parametrize("name", MODULES)
def test_modules_need_glibc_2_17_at_most_and_no_cxx_runtime(name):
    elffile = pytest.importorskip("elftools.elf.elffile")
    (path,) = PKG.glob(f"{name}.cpython-*.so")
    with open(path, "rb") as f:
        elf = elffile.ELFFile(f)
        needed = {t.needed for t in elf.get_section_by_name(".dynamic").iter_tags() if t.entry.d_tag == "DT_NEEDED"}
        versions = {aux.name for _, auxes in elf.get_section_by_name(".gnu.version_r").iter_versions()
                    for aux in auxes}
    assert not any(lib.startswith("libstdc++") for lib in needed), needed
    glibc = [tuple(map(int, v.split("_")[1].split("."))) for v in versions if v.startswith("GLIBC_2")]
    assert glibc and max(glibc) <= (2, 17), sorted(versions)
    assert not [v for v in versions if v.startswith(("GLIBCXX", "CXXABI"))], sorted(versions)


@pytest.fixture(scope="module")
def bare_path(tmp_path_factory):
    """A PATH with the shell and the few utilities the tools use before any
    work, and no interpreter, compiler or build tool."""
    bin_dir = tmp_path_factory.mktemp("bin")
    for tool in ("bash", "sh", "sed", "dirname", "basename", "cat", "env", "id", "pwd"):
        found = shutil.which(tool)
        if found:
            (bin_dir / tool).symlink_to(found)
    return str(bin_dir)


def run_tool(name, args, path):
    return subprocess.run([str(REPO / "tools" / name), *args], capture_output=True, text=True,
                          env={"PATH": path, "HOME": os.environ.get("HOME", "/root")}, timeout=60)


@pytest.mark.parametrize("flag", ["--help", "-h"])
@pytest.mark.parametrize("name", TOOLS)
def test_every_tool_answers_help_without_working(name, flag, bare_path):
    result = run_tool(name, [flag], bare_path)
    assert (result.returncode, result.stderr) == (0, ""), result
    assert f"tools/{name}" in result.stdout and "\n#" not in result.stdout


@pytest.mark.parametrize("name", ["build", "test", "example", "bench", "typecheck", "verifytypes", "docs",
                                  "wheel-check"])
def test_a_missing_interpreter_names_the_helper(name, bare_path):
    result = run_tool(name, ["--python", "3.15"] if name != "build" else ["--python", "3.15", "release"], bare_path)
    assert result.returncode == 2
    assert "python3.15 not found" in result.stderr and "tools/py314" in result.stderr, result.stderr


@pytest.mark.parametrize("name, args, message", [
    ("example", ["--target", "sparc64"], "unsupported --target 'sparc64' (aarch64"),
    ("docs", ["--python", "3.15", "--target=aarch64"], "--target aarch64 is not supported here"),
    ("build", ["--target", "aarch64", "--python", "3.14t", "release"], "the release variant for 3.14 or 3.15"),
    ("test", ["--target", "aarch64", "--variant", "asan"], "runs the release variant"),
    ("build", ["--compiler", "icc"], "unsupported --compiler 'icc' (gcc or clang)"),
    ("typecheck", ["--compiler=clang"], "--compiler clang is not supported here"),
    ("test", ["--compiler", "clang", "--variant", "asan"], "runs the release and debug variants"),
])
def test_a_target_a_tool_cannot_serve_is_refused_before_any_work(name, args, message, bare_path):
    result = run_tool(name, args, bare_path)
    assert result.returncode == 2 and message in result.stderr, result.stderr


def test_the_version_table_can_be_sourced_by_plain_sh(bare_path):
    # (CI asks sh whether the free-threaded interpreter is installed)
    result = subprocess.run(["sh", "-c", '. tools/python-version.sh; python_version 3.14t; echo "$py $suffix"'],
                            cwd=REPO, capture_output=True, text=True, env={"PATH": bare_path})
    assert (result.returncode, result.stdout, result.stderr) == (0, "python3.14t -3.14t\n", ""), result


def test_an_unknown_version_lists_the_known_ones(bare_path):
    result = run_tool("example", ["--python", "3.13"], bare_path)
    assert result.returncode == 2 and "one of: 3.14 3.15" in result.stderr, result.stderr
