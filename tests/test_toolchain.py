"""The environment script: it never deletes through a mount, and it enters
its root filesystem from any checkout location."""
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


def stamp_text():
    """The text the script expects in a ready root filesystem's stamp."""
    script = "; ".join(line for line in SCRIPT.read_text().splitlines() if line.startswith(("PACKAGES=", "SUITE=")))
    out = subprocess.run(["bash", "-c", script + '; printf "%s %s" "$SUITE" "$PACKAGES"'], capture_output=True, text=True)
    return out.stdout


@needs_root_tools
@pytest.mark.skipif(not all(os.path.islink(f"/{d}") for d in ("bin", "lib", "sbin")), reason="needs a merged /usr")
@pytest.mark.parametrize("through_link", [False, True], ids=["path with spaces", "symlinked path"])
def test_enters_the_root_from_any_checkout_location(tmp_path, through_link):
    # A ready root filesystem made of the running system's /usr and /etc, and
    # a checkout under /tmp (pytest's temporary folder), where the root's own
    # /tmp is mounted too.
    root = tmp_path / "root"
    for d in ("usr", "etc", "proc", "dev", "tmp"):
        (root / d).mkdir(parents=True)
    for d in ("bin", "lib", "lib64", "sbin"):
        if os.path.islink(f"/{d}"):
            (root / d).symlink_to(os.readlink(f"/{d}"))
    (root / ".kestrune-py314-stamp").write_text(stamp_text() + "\n")
    checkout = tmp_path / "a checkout"
    (checkout / "tools").mkdir(parents=True)
    for tool in ("py314", "help.sh", "pyright.sh"):  # the script and what it sources
        shutil.copy(SCRIPT.parent / tool, checkout / "tools" / tool)
    (checkout / "marker").write_text("found")
    start = checkout
    if through_link:
        start = tmp_path / "link"
        start.symlink_to(checkout)
    script = (
        f'mount --bind /usr "{root}/usr" && mount --bind /etc "{root}/etc" && '
        f'cd "{start}" && tools/py314 sh -c \'pwd; cat marker\''
    )
    result = run_in_namespace(script, {"KESTRUNE_PY314_ROOT": str(root), "KESTRUNE_PY314_CHROOT": "1"})
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"{checkout}\nfound", result.stdout
