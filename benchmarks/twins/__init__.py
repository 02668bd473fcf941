"""Plain-Python equivalents of the extension modules, for side-by-side timing.

Each module here mirrors one extension module: the same imports bound as
module globals (looked up at each use), the same steps in the same order,
the same exact-type checks and the same message texts. They are what the
C++ code is measured against, so they are written the way a careful Python
developer would write them, not slowed down on purpose.
"""
