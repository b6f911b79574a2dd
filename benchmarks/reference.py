"""Pure-Python equivalent of kDict, kTag, kEnvelope and kState.

The same behaviour as the native modules of kestrune.utils, written plainly.
It is the baseline of the benchmarks and the model of differential tests;
the package never imports it.
"""

import json
import operator
import secrets
import threading
from dataclasses import asdict, is_dataclass
from datetime import datetime, timedelta, timezone
from enum import IntEnum
from typing import Any, Iterable, TypeVar

T = TypeVar("T")

SUBCLASS_NOTE = "Subclasses of built-in types are not accepted; pass an exact instance of the built-in type."


def _check_exact(value, name, expected, allow_none=False):
    """Refuses anything but an exact instance of `expected` (or None)."""
    if type(value) is expected or (allow_none and value is None):
        return
    error = TypeError(
        f"Argument '{name}' has incorrect type (expected {expected.__name__}, got {type(value).__name__})"
    )
    if isinstance(value, expected):
        error.add_note(SUBCLASS_NOTE)
    raise error


def _check_result(value, expected):
    """A result must be an exact instance of `expected` or None."""
    if value is not None and type(value) is not expected:
        raise TypeError(f"Expected {expected.__name__}, got {type(value).__name__}")
    return value


def _is_number(value):
    kind = type(value)
    return any(hasattr(kind, name) for name in ("__index__", "__int__", "__float__", "__complex__"))


def _to_float(value):
    if hasattr(type(value), "__float__"):
        return float(value)
    if hasattr(type(value), "__index__"):
        return float(operator.index(value))
    raise TypeError(f"must be real number, not {type(value).__name__}")


_TRUE_WORDS = ("true", "1", "yes", "y", "on")
_FALSE_WORDS = ("false", "0", "no", "n", "off")


class kDict:
    """Dynamic document and metadata container with fluent helpers."""

    def __init__(self, data: "dict[str, Any] | None" = None) -> "None":
        _check_exact(data, "data", dict, allow_none=True)
        self._data = {}
        self._key_map = {}
        if data:
            for key, value in data.items():
                self.set(key, value)

    def __getitem__(self, key: "str") -> "Any | None":
        _check_exact(key, "key", str)
        return self.get(key)

    def __setitem__(self, key: "str", value: "Any | None") -> "None":
        _check_exact(key, "key", str)
        self.set(key, value)

    def has(self, key: "str") -> "bool":
        _check_exact(key, "key", str)
        return self._normalize_key(key) in self._key_map

    @property
    def Count(self) -> "int":
        return len(self._data)

    @property
    def Keys(self) -> "Iterable[str]":
        return self._data.keys()

    def Raw(self) -> "dict[str, Any]":
        return self._data

    def set(self, key: "str", value: "Any | None") -> "'kDict'":
        _check_exact(key, "key", str)
        normalized = self._validate_key(key)
        stored = self._key_map.get(normalized)
        if value is None:
            if stored is not None:
                del self._data[stored]
                del self._key_map[normalized]
            return self
        if stored is not None and stored != key:
            del self._data[stored]
        self._data[key] = value
        self._key_map[normalized] = key
        return self

    def add(self, key: "str", value: "Any") -> "'kDict'":
        _check_exact(key, "key", str)
        return self.set(key, value)

    def remove(self, key: "str") -> "bool":
        _check_exact(key, "key", str)
        normalized = self._normalize_key(key)
        stored = self._key_map.get(normalized)
        if stored is None:
            return False
        del self._data[stored]
        del self._key_map[normalized]
        return True

    def clear(self) -> "None":
        self._data.clear()
        self._key_map.clear()

    def get(self, key: "str", expected_type: "type[T] | None" = None) -> "T | Any | None":
        _check_exact(key, "key", str)
        stored = self._key_map.get(self._normalize_key(key))
        if stored is None:
            return None
        value = self._data[stored]
        if expected_type is None:
            return value
        return self._convert_value(value, expected_type)

    def getOr(self, key: "str", fallback: "T") -> "T":
        _check_exact(key, "key", str)
        result = self.get(key, type(fallback))
        return fallback if result is None else result

    def Require(self, key: "str", expected_type: "type[T] | None" = None) -> "T | Any":
        _check_exact(key, "key", str)
        result = self.get(key, expected_type)
        if result is None:
            raise Exception("Missing required key: " + key)
        return result

    def getString(self, key: "str") -> "str | None":
        _check_exact(key, "key", str)
        return _check_result(self.get(key, str), str)

    def getInt(self, key: "str", fallback: "int" = 0) -> "int":
        if type(fallback) is not int:
            if not _is_number(fallback):
                _check_exact(fallback, "fallback", int)
            fallback = int(fallback)
        _check_exact(key, "key", str)
        result = self.get(key, int)
        if result is None:
            return fallback
        if type(result) is int:
            return result
        if _is_number(result):
            return int(result)
        raise TypeError(f"Expected int, got {type(result).__name__}")

    def getBool(self, key: "str", fallback: "bool" = False) -> "bool":
        fallback = bool(fallback)
        _check_exact(key, "key", str)
        result = self.get(key, bool)
        return fallback if result is None else result

    def getDouble(self, key: "str", fallback: "float" = 0.0) -> "float":
        fallback = _to_float(fallback)
        _check_exact(key, "key", str)
        result = self.get(key, float)
        return fallback if result is None else result

    def getDate(self, key: "str") -> "datetime | None":
        _check_exact(key, "key", str)
        return self.get(key, datetime)

    def getList(self, key: "str") -> "list[Any]":
        _check_exact(key, "key", str)
        result = self.get(key)
        if isinstance(result, list):
            return _check_result(result, list)
        return []

    def addToList(self, key: "str", item: "Any") -> "'kDict'":
        _check_exact(key, "key", str)
        items = list(self.getList(key))
        items.append(item)
        self.set(key, items)
        return self

    def Merge(self, other: "'kDict'") -> "'kDict'":
        for key, value in other.Raw().items():
            self.set(key, value)
        return self

    def __str__(self) -> "str":
        return ", ".join(f"{key}={value}" for key, value in self._data.items())

    @staticmethod
    def _normalize_key(key: "str") -> "str":
        _check_exact(key, "key", str)
        return key.casefold()

    @staticmethod
    def _validate_key(key: "str") -> "str":
        _check_exact(key, "key", str)
        if not key or key.isspace():
            raise ValueError("Key cannot be empty.")
        return key.casefold()

    @staticmethod
    def _convert_value(value: "Any", expected_type: "type[T]") -> "T | None":
        if isinstance(value, expected_type):
            return value
        try:
            if expected_type is bool:
                if isinstance(value, str):
                    word = value.strip().lower()
                    if word in _TRUE_WORDS:
                        return True
                    if word in _FALSE_WORDS:
                        return False
                return bool(value)
            if expected_type is datetime and isinstance(value, str):
                return datetime.fromisoformat(value)
            return expected_type(value)
        except (TypeError, ValueError):
            return None


_TIMESTAMP_LAYOUT = "%Y-%m-%d:%H.%M.%S."
_TIMESTAMP_PATTERN = "%Y-%m-%d:%H.%M.%S.%f"


def _timestamp_text(moment):
    return moment.strftime(_TIMESTAMP_LAYOUT) + f"{moment.microsecond // 1000:03d}"


def _millisecond_after(timestamp):
    """The millisecond after `timestamp` in the same layout, or None when
    `timestamp` is not written in that layout."""
    try:
        moment = datetime.strptime(timestamp, _TIMESTAMP_PATTERN)
    except ValueError:
        return None
    if _timestamp_text(moment) != timestamp:
        return None
    try:
        return _timestamp_text(moment + timedelta(milliseconds=1))
    except OverflowError:
        return None


class kTag:
    """Generate IDs from user name, transaction type, timestamp, and a unique suffix."""

    _epoch_2026 = datetime(2026, 1, 1, tzinfo=timezone.utc)
    _unique_length = 10
    _timestamp_length = 23
    _process_code = format(secrets.randbits(20), "05X")
    _last_timestamp = ""
    _counter = 0
    _lock = threading.Lock()

    @classmethod
    def New(cls, user_name: "str", transaction_type: "str") -> "str":
        _check_exact(user_name, "user_name", str)
        _check_exact(transaction_type, "transaction_type", str)
        user = cls._validate_part(user_name, "user_name")
        kind = cls._validate_part(transaction_type, "transaction_type")
        with cls._lock:
            clock = cls._current_timestamp()
            last = cls._last_timestamp
            # A clock that stepped back continues from the last timestamp, so
            # identifiers stay unique and in order.
            timestamp = last if clock < last else clock
            if timestamp == last:
                cls._counter = cls._counter + 1
                if cls._counter >= 1048576:
                    following = _millisecond_after(last) if clock < last else None
                    if following is not None:
                        timestamp = following
                    else:
                        while timestamp <= cls._last_timestamp:
                            timestamp = cls._current_timestamp()
                    cls._counter = 0
            else:
                cls._counter = 0
            cls._last_timestamp = timestamp
            unique_code = cls._process_code + format(cls._counter, "05X")
        return user + "_" + kind + "_" + timestamp + unique_code

    @classmethod
    def GetCreatedAt(cls, id: "str") -> "datetime":
        _check_exact(id, "id", str)
        temp_id = cls.GetTempId(id)
        created = datetime.strptime(temp_id[: cls._timestamp_length], _TIMESTAMP_PATTERN)
        return created.replace(tzinfo=timezone.utc)

    @classmethod
    def GetCreatedAtUtc(cls, id: "str") -> "datetime":
        _check_exact(id, "id", str)
        return cls.GetCreatedAt(id)

    @classmethod
    def GetAge(cls, id: "str") -> "str":
        _check_exact(id, "id", str)
        diff = datetime.now(timezone.utc) - cls.GetCreatedAt(id)
        total = diff.days * 86400 * 1000000 + diff.seconds * 1000000 + diff.microseconds
        sign = "-" if total < 0 else ""
        seconds, rest = divmod(abs(total), 1000000)
        return f"{sign}{seconds}.{rest // 1000:03d}{rest % 1000 * 1000:06d}"

    @classmethod
    def GetTicksSinceEpoch(cls, id: "str") -> "int":
        _check_exact(id, "id", str)
        delta = cls.GetCreatedAt(id) - cls._epoch_2026
        return (delta.days * 86400 + delta.seconds) * 10_000_000 + delta.microseconds * 10

    @classmethod
    def GetNanosecondsSinceEpoch(cls, id: "str") -> "int":
        _check_exact(id, "id", str)
        return cls.GetTicksSinceEpoch(id) * 100

    @classmethod
    def GetExactCreationWithMsNs(cls, id: "str") -> "str":
        _check_exact(id, "id", str)
        created = cls.GetCreatedAt(id)
        milliseconds = created.microsecond // 1000
        nanoseconds = created.microsecond % 1000 * 1000
        return created.strftime("%Y-%m-%d %H:%M:%S") + f":{milliseconds:03d}:{nanoseconds:06d} UTC"

    @classmethod
    def GetTempId(cls, id: "str") -> "str":
        _check_exact(id, "id", str)
        temp_id = cls._split_id(id)[2]
        expected_length = cls._timestamp_length + cls._unique_length
        if len(temp_id) != expected_length:
            raise ValueError(f"Invalid kTag format. Expected tempId length {expected_length}.")
        cls._validate_timestamp(temp_id[: cls._timestamp_length])
        cls._validate_unique_code(temp_id[cls._timestamp_length :])
        return temp_id

    @classmethod
    def GetUniqueCode(cls, id: "str") -> "str":
        _check_exact(id, "id", str)
        return cls.GetTempId(id)[cls._timestamp_length :]

    @classmethod
    def _current_timestamp(cls) -> "str":
        return _timestamp_text(datetime.now(timezone.utc))

    @staticmethod
    def _validate_part(value: "str", field_name: "str") -> "str":
        _check_exact(value, "value", str)
        _check_exact(field_name, "field_name", str)
        if not value or value.isspace():
            raise ValueError(field_name + " cannot be empty.")
        cleaned = value.strip()
        if "_" in cleaned:
            raise ValueError(field_name + " cannot contain underscores.")
        return cleaned

    @staticmethod
    def _validate_timestamp(value: "str") -> "None":
        _check_exact(value, "value", str)
        try:
            datetime.strptime(value, _TIMESTAMP_PATTERN)
        except ValueError as error:
            raise ValueError("Invalid kTag timestamp format.") from error

    @staticmethod
    def _validate_unique_code(value: "str") -> "None":
        _check_exact(value, "value", str)
        if len(value) != 10:
            raise ValueError("Invalid kTag unique code length.")
        if any(ch not in "0123456789ABCDEF" for ch in value):
            raise ValueError("Invalid kTag unique code.")

    @classmethod
    def _split_id(cls, id: "str") -> "tuple[str, str, str]":
        _check_exact(id, "id", str)
        if not id or id.isspace():
            raise ValueError("Invalid kTag format.")
        parts = id.split("_")
        if len(parts) != 3 or not all(parts):
            raise ValueError("Invalid kTag format.")
        return parts[0], parts[1], parts[2]


class kEnvelope:
    """Mutable payload envelope for passing request and response data."""

    def __init__(self, existing: "kDict | None" = None) -> "None":
        self._data = kDict() if existing is None else existing

    def post(self, key: "str", value: "Any") -> "'kEnvelope'":
        _check_exact(key, "key", str)
        if not self._data.has(key):
            self._data.add(key, value)
        return self

    def put(self, key: "str", value: "Any") -> "'kEnvelope'":
        _check_exact(key, "key", str)
        self._data.set(key, value)
        return self

    def delete(self, key: "str") -> "'kEnvelope'":
        _check_exact(key, "key", str)
        self._data.remove(key)
        return self

    def has(self, key: "str") -> "bool":
        _check_exact(key, "key", str)
        return self._data.has(key)

    def nest(self, key: "str") -> "'kEnvelope'":
        _check_exact(key, "key", str)
        data = self._data
        nested = data.get(key, kDict)
        if nested is None:
            nested = kDict()
            data.set(key, nested)
        elif nested is not data.get(key):
            # The stored value was converted into a new kDict (a plain dict):
            # store that one, so that the child's writes reach the parent.
            data.set(key, nested)
        return kEnvelope(nested)

    def get(self) -> "dict[str, Any]":
        return _check_result(self._flatten(self._data.Raw()), dict)

    def toJson(self) -> "str":
        return _check_result(json.dumps(self.get(), indent=4), str)

    @classmethod
    def _flatten(cls, source: "dict[str, Any]") -> "dict[str, Any]":
        _check_exact(source, "source", dict)
        result = {}
        for key, value in source.items():
            result[key] = cls._serialize_value(value)
        return result

    @classmethod
    def _serialize_value(cls, value: "Any") -> "Any":
        if isinstance(value, kDict):
            return cls._flatten(value.Raw())
        if isinstance(value, (list, tuple)):
            return [cls._serialize_value(item) for item in value]
        if isinstance(value, dict):
            return {key: cls._serialize_value(item) for key, item in value.items()}
        if is_dataclass(value):
            return cls._serialize_value(asdict(value))
        if isinstance(value, datetime):
            return value.isoformat()
        return value


class kState(IntEnum):
    """Python equivalent of the shared kState enum."""

    open = 1
    hold = 2
    closed = 3

    @property
    def display_name(self) -> "str":
        """Return the display label used by external callers."""
        return _check_result(self.name, str)
