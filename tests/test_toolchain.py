"""The CPython 3.14 environment script must never delete through a mount."""
import os
import shutil
import subprocess
from pathlib import Path

import pytest

pytestmark = pytest.mark.no_refleak  # runs processes, nothing native

SCRIPT = Path(__file__).resolve().parent.parent / "tools" / "py314"

needs_root_tools = pytest.mark.skipif(
    os.geteuid() != 0 or not all(shutil.which(t) for t in ("unshare", "mount", "findmnt")),
    reason="needs root with unshare, mount and findmnt",
)


def run_in_namespace(script, env):
    # Inside a chroot "/" is no mount point and its propagation cannot change;
    # the chroot's own namespace is private already.
    root_is_mount = subprocess.run(["findmnt", "/"], capture_output=True).returncode == 0
    propagation = "private" if root_is_mount else "unchanged"
    return subprocess.run(
        ["unshare", "-m", "--propagation", propagation, "bash", "-c", script],
        env={**os.environ, **env},
        capture_output=True,
        text=True,
    )


@needs_root_tools
def test_refuses_to_remove_a_root_with_a_mount_inside(tmp_path):
    root = tmp_path / "root"
    (root / "mnt").mkdir(parents=True)
    outside = tmp_path / "precious"
    outside.mkdir()
    (outside / "keep").write_text("data")
    script = f'mount --bind "{outside}" "{root}/mnt" && "{SCRIPT}" --remove-root; echo "rc=$?"'
    result = run_in_namespace(script, {"KESTRUNE_PY314_ROOT": str(root)})
    assert "rc=3" in result.stdout, result
    assert "refusing to remove" in result.stderr
    assert (outside / "keep").read_text() == "data"
    assert root.exists()


@needs_root_tools
def test_removes_a_root_with_nothing_mounted(tmp_path):
    root = tmp_path / "root"
    (root / "etc").mkdir(parents=True)
    result = subprocess.run(
        [str(SCRIPT), "--remove-root"], env={**os.environ, "KESTRUNE_PY314_ROOT": str(root)}, capture_output=True
    )
    assert result.returncode == 0 and not root.exists()


def test_passes_exit_status_and_output_through():
    result = subprocess.run([str(SCRIPT), "sh", "-c", "echo out; echo err >&2; exit 7"], capture_output=True, text=True)
    assert (result.returncode, result.stdout, result.stderr) == (7, "out\n", "err\n")
