"""Sphinx configuration for the tessaroll documentation.

Build from the source tree, with the module and the docs extra installed:

    python -m pip install ".[docs]"
    python -m sphinx -W --keep-going -b html docs docs/_build/html
"""

# Import the compiled module before autodoc looks for it: autodoc prefers a
# .pyi stub found beside an extension module, and the stub's signatures and
# (absent) docstrings are not what the module itself defines.
import tessaroll

project = "tessaroll"
author = "tessaroll developers"
copyright = "tessaroll developers"
release = tessaroll.__version__
version = release

extensions = ["myst_parser", "sphinx.ext.autodoc"]
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build"]

# Every cross-reference must resolve; nothing is fetched from the network
# (no intersphinx inventories), so references name only this project.
nitpicky = True
# Headings get anchors, so that [text](page.md#heading) links between pages
# work here and on a code host alike.
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]

autodoc_member_order = "bysource"
add_module_names = False
# The module's own docstrings are plain text: `name` means code, not a
# cross-reference.
default_role = "literal"

html_theme = "furo"
html_title = f"tessaroll {release}"
html_static_path = ["_static"]
html_css_files = ["tessaroll.css"]
html_show_sourcelink = False
pygments_style = "friendly"
