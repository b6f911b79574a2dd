"""Typed use of the four classes: checked by `mypy --strict` (tools/typecheck) and runnable."""
# pyright: strict
from datetime import datetime

from kestrune.utils.kDict import kDict
from kestrune.utils.kEnvelope import kEnvelope
from kestrune.utils.kState import kState
from kestrune.utils.kTag import kTag


class Settings(kDict):
    """A subclass with a typed reader of its own."""

    def timeout(self) -> float:
        return self.getDouble("timeout", 30.0)


def read(settings: Settings) -> tuple[int, bool, str | None, datetime | None, list[object]]:
    return (
        settings.getInt("retries", 3),
        settings.getBool("verbose"),
        settings.getString("mode"),
        settings.getDate("since"),
        settings.getList("hosts"),
    )


def request(user: str, settings: Settings) -> kEnvelope:
    tag: str = kTag.New(user, "request")
    envelope = kEnvelope().put("Id", tag).put("State", kState.hold)
    envelope.nest("settings").put("timeout", settings.timeout())
    return envelope


def main() -> None:
    settings = Settings({"Retries": "5", "Verbose": "yes", "Since": "2026-03-15T08:30:00"})
    settings.set("Mode", "fast").addToList("hosts", "a.example").addToList("HOSTS", "b.example")
    retries, verbose, mode, since, hosts = read(settings)
    assert (retries, verbose, mode, hosts) == (5, True, "fast", ["a.example", "b.example"])
    assert since == datetime(2026, 3, 15, 8, 30)

    envelope = request("alice", settings)
    data: dict[str, object] = envelope.get()
    state = kState(data["State"]) if isinstance(data["State"], int) else kState.open
    created: datetime = kTag.GetCreatedAt(str(data["Id"]))
    count: int = settings.Count
    keys: list[str] = list(settings.Keys)
    print(state.display_name, created.isoformat(), count, keys)
    print(envelope.toJson())


if __name__ == "__main__":
    main()
