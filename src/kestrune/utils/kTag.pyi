"""Transaction-style ID generator utilities."""

import threading
from datetime import datetime
from typing import ClassVar

class kTag:
    """Generate IDs from user name, transaction type, timestamp, and a unique suffix.

    An identifier reads ``user_type_YYYY-MM-DD:HH.MM.SS.mmmPPPPPCCCCC``: the
    user name, the transaction type, the UTC time of creation to the
    millisecond, five hexadecimal digits drawn once per process and a
    five-digit hexadecimal counter.  :meth:`New` is thread-safe, and the
    identifiers one process makes are unique and in increasing order.  The
    readers take an identifier apart again and raise ``ValueError`` for text
    that is not one.
    """

    _epoch_2026: ClassVar[datetime]
    """2026-01-01 00:00 UTC, from which ticks are counted."""
    _unique_length: ClassVar[int]
    """Length of the unique code (10)."""
    _timestamp_length: ClassVar[int]
    """Length of the timestamp (23)."""
    _process_code: ClassVar[str]
    """Five hexadecimal digits drawn when the module is imported."""
    _last_timestamp: ClassVar[str]
    """Timestamp of the last identifier made."""
    _counter: ClassVar[int]
    """Counter of the last identifier made."""
    _lock: ClassVar[threading.Lock]
    """Held by :meth:`New` while it makes an identifier."""
    @classmethod
    def New(cls, user_name: str, transaction_type: str) -> str:
        """A new identifier for ``user_name`` and ``transaction_type`` (surrounding blanks removed).

        When the clock reads earlier than the last identifier, the last
        timestamp is kept and the counter goes on, so identifiers never repeat.

        :raises ValueError: a part is empty or blank, or contains ``_``.
        """
    @classmethod
    def GetCreatedAt(cls, id: str) -> datetime:
        """The instant the identifier was made, as an aware UTC ``datetime``.

        :raises ValueError: ``id`` is not an identifier.
        """
    @classmethod
    def GetCreatedAtUtc(cls, id: str) -> datetime:
        """The same as :meth:`GetCreatedAt`."""
    @classmethod
    def GetAge(cls, id: str) -> str:
        """Seconds since the identifier was made, with nine decimals (``"5.123456000"``; ``"-"`` first for a future one)."""
    @classmethod
    def GetTicksSinceEpoch(cls, id: str) -> int:
        """100-nanosecond ticks from 2026-01-01 00:00 UTC to the creation instant (negative before)."""
    @classmethod
    def GetNanosecondsSinceEpoch(cls, id: str) -> int:
        """Nanoseconds from 2026-01-01 00:00 UTC to the creation instant (ticks times 100)."""
    @classmethod
    def GetExactCreationWithMsNs(cls, id: str) -> str:
        """The creation instant as text, e.g. ``"2026-03-15 08:30:45:123:000000 UTC"``."""
    @classmethod
    def GetTempId(cls, id: str) -> str:
        """The last field: the 23-character timestamp and the 10-character unique code."""
    @classmethod
    def GetUniqueCode(cls, id: str) -> str:
        """The 10-character unique code: the process code and the counter."""
    @classmethod
    def _current_timestamp(cls) -> str:
        """The clock's UTC time as the 23-character timestamp (milliseconds truncated)."""
    @staticmethod
    def _validate_part(value: str, field_name: str) -> str:
        """``value`` without surrounding blanks.

        :raises ValueError: it is empty, or contains ``_`` (the message names ``field_name``).
        """
    @staticmethod
    def _validate_timestamp(value: str) -> None:
        """Check a 23-character timestamp.

        :raises ValueError: it is not one.
        """
    @staticmethod
    def _validate_unique_code(value: str) -> None:
        """Check a 10-character unique code.

        :raises ValueError: it is not one.
        """
    @classmethod
    def _split_id(cls, id: str) -> tuple[str, str, str]:
        """The user field, the type field and the timestamp with the unique code.

        :raises ValueError: ``id`` does not have three non-empty fields.
        """
