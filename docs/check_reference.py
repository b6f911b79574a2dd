"""Checks a built API reference: every public member of the four classes
appears, a method with its signature (not as a bare attribute name) and a
property with its type.

    python3.14 docs/check_reference.py BUILD_DIR     (run by tools/docs)

The public members are read from the classes at run time, so a member added
to a module and left out of the reference fails the check.
"""
import importlib
import inspect
import re
import sys
from pathlib import Path

CLASSES = ("kDict", "kTag", "kEnvelope", "kState")
SPECIAL = {"__init__", "__getitem__", "__setitem__", "__str__"}


def public_members(cls):
    """Names a user of `cls` may call or read: not private, not inherited
    from object or the enum machinery."""
    names = set()
    for name, value in vars(cls).items():
        if name.startswith("_") and name not in SPECIAL:
            continue
        if cls.__module__ == "kestrune.utils.kState" and name not in ("display_name", *cls.__members__):
            continue
        names.add(name)
    return names


def entries(html):
    """{anchor: the HTML of its signature line} of the page's py objects."""
    return dict(re.findall(r'<dt class="sig sig-object py" id="([^"]+)">(.*?)</dt>', html, re.S))


def main(build_dir):
    html = (Path(build_dir) / "reference.html").read_text()
    found = entries(html)
    problems = []
    for name in CLASSES:
        module = importlib.import_module(f"kestrune.utils.{name}")
        cls = getattr(module, name)
        for member in sorted(public_members(cls)):
            anchor = f"kestrune.utils.{name}.{name}.{member}"
            sig = found.get(anchor)
            if sig is None:
                problems.append(f"{anchor}: not in the reference")
                continue
            raw = inspect.getattr_static(cls, member)
            if isinstance(raw, property):
                if "sig-prename" not in sig and "property" not in sig:
                    problems.append(f"{anchor}: shown without its kind")
                if ": " not in re.sub("<[^>]+>", "", sig):
                    problems.append(f"{anchor}: property shown without its type")
            elif callable(raw) or isinstance(raw, (classmethod, staticmethod)) or member == "__init__":
                if 'class="sig-paren"' not in sig:
                    problems.append(f"{anchor}: shown without a signature")
    for p in problems:
        print("reference:", p)
    print(f"reference: {len(found)} entries; every public member of {', '.join(CLASSES)} "
          + ("shown with its signature" if not problems else f"checked, {len(problems)} problems"))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
