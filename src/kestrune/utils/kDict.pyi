"""Lightweight wrapper around a case-insensitive dictionary."""

from datetime import datetime
from typing import Any, Iterable, TypeVar

T = TypeVar("T")

class kDict:
    """Dynamic document and metadata container with fluent helpers.

    Keys are ``str`` and match without regard to letter case
    (``str.casefold``); each entry keeps the key as it was last written.
    Setters return the container, so calls chain.  Readers never raise for an
    absent key or a value they cannot convert: they return ``None``, a
    fall-back or an empty list.  Storing ``None`` removes an entry.
    """

    _data: dict[str, Any]
    """The entries under their stored keys, in insertion order."""
    _key_map: dict[str, str]
    """Folded key to stored key, for every entry."""
    def __init__(self, data: dict[str, Any] | None = None) -> None:
        """Create a container holding the items of ``data`` (an exact ``dict``), written one by one with :meth:`set`.

        :raises TypeError: ``data`` is neither a ``dict`` nor ``None``.
        :raises ValueError: a key of ``data`` is empty or blank.
        """
    def __getitem__(self, key: str) -> Any | None:
        """``d[key]``: the same as ``d.get(key)``; ``None`` when absent, never ``KeyError``."""
    def __setitem__(self, key: str, value: Any | None) -> None:
        """``d[key] = value``: the same as ``d.set(key, value)`` (``None`` removes)."""
    def has(self, key: str) -> bool:
        """Whether an entry matches ``key`` in any letter case."""
    @property
    def Count(self) -> int:
        """The number of entries."""
    @property
    def Keys(self) -> Iterable[str]:
        """A live view of the stored keys, in the order they were written."""
    def Raw(self) -> dict[str, Any]:
        """The underlying ``dict`` of stored keys to values: live, not a copy."""
    def set(self, key: str, value: Any | None) -> kDict:
        """Store ``value`` under ``key``, replacing an entry that matches in any letter case; ``None`` removes it.

        ``key`` becomes the entry's stored key; an entry whose letter case
        changes moves to the end.  Returns the container.

        :raises ValueError: ``key`` is empty or blank ("Key cannot be empty.").
        """
    def add(self, key: str, value: Any) -> kDict:
        """The same as :meth:`set`; returns the container."""
    def remove(self, key: str) -> bool:
        """Remove the entry matching ``key``; ``True`` if there was one."""
    def clear(self) -> None:
        """Remove every entry."""
    def get(self, key: str, expected_type: type[T] | None = None) -> T | Any | None:
        """The value stored under ``key``, or ``None`` when absent.

        With ``expected_type`` the value is converted to that type (see
        :meth:`_convert_value`); a value that cannot be converted gives ``None``.
        """
    def getOr(self, key: str, fallback: T) -> T:
        """The value converted to the type of ``fallback``; ``fallback`` when absent or not convertible."""
    def Require(self, key: str, expected_type: type[T] | None = None) -> T | Any:
        """The value under ``key`` (converted as by :meth:`get`).

        :raises Exception: no value, or no convertible value, is stored
            ("Missing required key: " and the key).
        """
    def getString(self, key: str) -> str | None:
        """The value as text (``str(value)``), or ``None`` when absent."""
    def getInt(self, key: str, fallback: int = 0) -> int:
        """The value as an ``int``: text is parsed, floats are truncated; else ``fallback``."""
    def getBool(self, key: str, fallback: bool = False) -> bool:
        """The value as a ``bool``; else ``fallback``.

        Text reads as true for ``true yes 1 on y`` and false for
        ``false no 0 off n`` (letter case and blanks ignored); other values
        by their truth value.
        """
    def getDouble(self, key: str, fallback: float = 0.0) -> float:
        """The value as a ``float``; else ``fallback``."""
    def getDate(self, key: str) -> datetime | None:
        """A stored ``datetime``, or ISO 8601 text parsed into one; else ``None``."""
    def getList(self, key: str) -> list[Any]:
        """The stored list itself; a new empty list when the value is absent or not a list."""
    def addToList(self, key: str, item: Any) -> kDict:
        """Store under ``key`` a new list: the items of the current list, then ``item``.  Returns the container."""
    def Merge(self, other: kDict) -> kDict:
        """:meth:`set` every entry of ``other`` on this container; returns the container."""
    def __str__(self) -> str:
        """The entries as ``key=value`` pieces joined by ``", "``."""
    @staticmethod
    def _normalize_key(key: str) -> str:
        """The folded form under which ``key`` matches (``key.casefold()``); a subclass may override it."""
    @staticmethod
    def _validate_key(key: str) -> str:
        """The folded form of a key being written; a subclass may override it.

        :raises ValueError: ``key`` is empty or blank.
        """
    @staticmethod
    def _convert_value(value: Any, expected_type: type[T]) -> T | None:
        """``value`` converted to ``expected_type``, or ``None``; a subclass may override it.

        An instance of the type comes back as it is; text becomes a ``bool``
        by the words :meth:`getBool` reads and a ``datetime`` from ISO 8601;
        anything else goes through ``expected_type(value)``, where a
        ``TypeError`` or ``ValueError`` gives ``None``.
        """
