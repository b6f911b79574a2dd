from enum import IntEnum as IntEnum

class kState(IntEnum):
    """Python equivalent of the shared kState enum."""

    open = 1
    hold = 2
    closed = 3
    @property
    def display_name(self) -> str:
        """Return the display label used by external callers."""
