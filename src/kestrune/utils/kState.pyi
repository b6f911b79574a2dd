"""Status enumeration helpers."""

from enum import IntEnum

class kState(IntEnum):
    """Python equivalent of the shared kState enum.

    An ``IntEnum``: members compare, hash and serialise as their integers.
    """

    open = 1
    """Status 1, displayed as ``open``."""
    hold = 2
    """Status 2, displayed as ``hold``."""
    closed = 3
    """Status 3, displayed as ``closed``."""
    @property
    def display_name(self) -> str:
        """The member's display label: its name (``"open"``, ``"hold"``, ``"closed"``)."""
