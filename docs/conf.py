"""The manual: Sphinx with autodoc (NumPy-style docstrings through napoleon), MyST for the pages
written in Markdown, and the furo theme. Every example runs as a doctest: make docs."""

import pathlib
import sys

import vantrel

HERE = pathlib.Path(__file__).parent
sys.path.insert(0, str(HERE))

project = "vantrel"
author = "the vantrel developers"
copyright = "2026, the vantrel developers"
release = version = vantrel.__version__

extensions = ["sphinx.ext.autodoc", "sphinx.ext.napoleon", "sphinx.ext.doctest", "myst_parser"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "_shots"]
myst_heading_anchors = 3

html_theme = "furo"
html_title = f"vantrel {release}"

autodoc_member_order = "bysource"
autodoc_typehints = "description"
autodoc_default_options = {"members": True, "show-inheritance": True}
napoleon_numpy_docstring = True
napoleon_google_docstring = True
nitpicky = False

# Every example reads the small files it names, made once into a scratch folder that each
# document's doctests run in.
doctest_global_setup = """
import os, pathlib, tempfile
import numpy as np
import vantrel
import vantrel.dask, vantrel.las, vantrel.ply, vantrel.ros, vantrel.tools
import _samples
if not os.environ.get("VANTREL_DOCS_SAMPLES"):
    os.environ["VANTREL_DOCS_SAMPLES"] = tempfile.mkdtemp(prefix="vantrel-docs-")
    _samples.make_files(pathlib.Path(os.environ["VANTREL_DOCS_SAMPLES"]))
os.chdir(os.environ["VANTREL_DOCS_SAMPLES"])
"""


def load_pcd_sections(app, what, name, obj, options, lines):
    """load_pcd's docstring stays as its users have always read it; the manual shows its Returns
    section in the style of the others (napoleon would read "points:" as a type)."""
    if name == "vantrel.load_pcd" and "Returns:" in lines:
        at = lines.index("Returns:")
        lines[at:] = [
            "Returns",
            "-------",
            "points : numpy.ndarray",
            "    of shape (N,3) with x,y,z",
            "fields : dict",
            "    of other 1D NumPy arrays with arbitrary names/dtypes",
        ]


def pictures(app):
    """The pages' pictures, drawn by vantrel view now (the html build only)."""
    if app.builder.name == "html":
        import _pictures

        _pictures.make_pictures()


def setup(app):
    app.connect("autodoc-process-docstring", load_pcd_sections, priority=400)  # before napoleon's
    app.connect("builder-inited", pictures)
