"""Sphinx configuration of the kestrune utils documentation.

Built by tools/docs with the package on the path (the build tree or an
installed wheel): autodoc imports the modules, and reads each module's
``.pyi`` stub beside it for the signatures and descriptions.
"""
import sys
import tomllib
from pathlib import Path

here = Path(__file__).resolve().parent
sys.path.insert(0, str(here / "_ext"))
meta = tomllib.loads((here.parent / "pyproject.toml").read_text())["project"]

project = "kestrune utils"
author = ", ".join(a["name"] for a in meta["authors"])
copyright = f"2026, {author}"
release = version = meta["version"]

extensions = ["sphinx.ext.autodoc", "benchchart"]
exclude_patterns = ["_build"]
html_theme = "alabaster"
html_theme_options = {"description": meta["description"], "page_width": "1100px"}
html_static_path = ["_static"]
html_css_files = ["docs.css"]

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_class_signature = "separated"
autodoc_default_options = {"members": True, "show-inheritance": True}
add_module_names = False
python_use_unqualified_type_names = True

# The documentation builds offline, so the standard library's inventory is not
# at hand: names of standard types in signatures stay plain text.  Every
# reference to this package's own names is still checked.
nitpick_ignore_regex = [
    ("py:class", r"(datetime|typing|collections\.abc|enum|threading)\.\w+"),
    ("py:class", r"(Any|datetime|Iterable|IntEnum|Lock|T)"),
]
