"""The one error of the map tools, shared by their modules (tools, _tiles, _polygons)."""

import vantrel


class ToolError(vantrel.Error, ValueError):
    """An argument or an input that a tool cannot work with; nothing was written."""

    __module__ = "vantrel.tools"
