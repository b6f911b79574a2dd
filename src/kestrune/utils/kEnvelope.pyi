"""Payload wrapper built on top of kDict."""

from typing import Any

from .kDict import kDict

class kEnvelope:
    """Mutable payload envelope for passing request and response data.

    The fields live in a :class:`~kestrune.utils.kDict.kDict` (so their keys
    match in any letter case); setters return the envelope, so calls chain.
    :meth:`nest` gives a child envelope whose fields land inside this one, and
    :meth:`get` and :meth:`toJson` turn the whole into plain data and JSON.
    """

    _data: kDict
    """The store of the fields: shared with whoever passed it in, never copied."""
    def __init__(self, existing: kDict | None = None) -> None:
        """Wrap ``existing`` (shared, not copied), or a new empty ``kDict``."""
    def post(self, key: str, value: Any) -> kEnvelope:
        """Store ``value`` only if no field matches ``key``; returns the envelope.

        :raises ValueError: ``key`` is empty or blank.
        """
    def put(self, key: str, value: Any) -> kEnvelope:
        """Store or replace the field ``key`` (``None`` removes it); returns the envelope.

        :raises ValueError: ``key`` is empty or blank.
        """
    def delete(self, key: str) -> kEnvelope:
        """Remove the field ``key`` if present; returns the envelope."""
    def has(self, key: str) -> bool:
        """Whether a field matches ``key`` in any letter case."""
    def nest(self, key: str) -> kEnvelope:
        """A child envelope on the ``kDict`` stored under ``key``.

        A missing field, or one holding a plain ``dict``, is replaced by a new
        ``kDict`` first, so the child's fields always land in this envelope.

        :raises ValueError: ``key`` is empty or blank.
        """
    def get(self) -> dict[str, Any]:
        """The fields as a new tree of plain data.

        Nested ``kDict`` stores become ``dict``, tuples become lists, data-class
        instances go through ``dataclasses.asdict`` and ``datetime`` values
        become ISO 8601 text; other values stay as they are.

        :raises RecursionError: a value contains itself.
        """
    def toJson(self) -> str:
        """JSON text of :meth:`get`, indented by four spaces (``json.dumps(self.get(), indent=4)``).

        :raises TypeError: a value JSON cannot hold (a ``date``, a ``set`` ...).
        :raises RecursionError: a value contains itself.
        """
    @classmethod
    def _flatten(cls, source: dict[str, Any]) -> dict[str, Any]:
        """A new ``dict`` with every value of ``source`` passed through :meth:`_serialize_value`; a subclass may override it."""
    @classmethod
    def _serialize_value(cls, value: Any) -> Any:
        """One value as plain data, the way :meth:`get` converts it; a subclass may override it."""
