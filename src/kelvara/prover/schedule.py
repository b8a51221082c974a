"""The schedule of ``--auto``: which strategies a problem class gets, in which order, for how long.

The schedule lives in ``schedule.json`` beside this module, written by
``bench/derive_schedule.py`` from measured per-strategy results.  Its form::

    {"strategies": {"NAME": "SPEC", ...},
     "classes": {"CLASS": [["NAME", SHARE], ...], ...},
     "default": [["NAME", SHARE], ...]}

Shares are relative: a slot gets its share of the time left when it starts,
divided by the shares of the slots still to run, so time a slot does not
use goes to the ones after it.  Strategies the engine refuses (options it
does not offer) are left out when the schedule is loaded.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from importlib import resources

from .features import CLASSES, Features, problem_class
from .strategy import BUILTIN, Strategy, StrategyError, engine_refusal, parse_spec

__all__ = ["Slot", "Schedule", "load_schedule", "split_slots", "slot_seconds", "NO_LIMIT_SECONDS"]

#: Without a time limit every slot but the last runs as if the limit were this many seconds.
NO_LIMIT_SECONDS = 60.0


@dataclass(frozen=True)
class Slot:
    strategy: Strategy
    share: float


class Schedule:
    """Slots per problem class, with the default for classes it does not list."""

    def __init__(self, classes: dict[str, list[Slot]], default: list[Slot]) -> None:
        if not default:
            raise ValueError("a schedule needs a default list of slots")
        self.classes = classes
        self.default = default

    def slots_for(self, features: Features) -> list[Slot]:
        """The slots of the problem's class; a problem without a goal ends with a complete strategy."""
        slots = list(self.classes.get(problem_class(features)) or self.default)
        if not any(slot.strategy.complete for slot in slots):
            complete = next((s for s in self.default if s.strategy.complete), None)
            slots.append(complete or Slot(BUILTIN["standard"], 1.0))
        return slots

    @classmethod
    def from_json(cls, data: dict, refuse=engine_refusal) -> "Schedule":
        """Reads the JSON form; ``refuse(strategy)`` names why a strategy cannot run (or None)."""
        if not isinstance(data, dict):
            raise ValueError("a schedule is a JSON object")
        named: dict[str, Strategy] = {}
        for name, spec in (data.get("strategies") or {}).items():
            try:
                named[name] = parse_spec(spec, name)
            except (StrategyError, TypeError) as exc:
                raise ValueError(f"schedule strategy {name!r}: {exc}") from None
        refused: dict[str, str | None] = {}

        def slots(items, where: str) -> list[Slot]:
            out = []
            for item in items:
                try:
                    name, share = item
                    share = float(share)
                except (TypeError, ValueError):
                    raise ValueError(f"schedule {where}: not a [name, share] pair: {item!r}") from None
                strategy = named.get(name) or BUILTIN.get(name)
                if strategy is None:
                    raise ValueError(f"schedule {where}: unknown strategy {name!r}")
                if not share > 0:
                    raise ValueError(f"schedule {where}: share of {name!r} must be positive")
                if name not in refused:
                    refused[name] = refuse(strategy)
                if refused[name] is None:
                    out.append(Slot(strategy, share))
            return out

        classes = {}
        for key, items in (data.get("classes") or {}).items():
            if key not in CLASSES:
                raise ValueError(f"schedule: unknown problem class {key!r} (known: {', '.join(CLASSES)})")
            classes[key] = slots(items, key)
        default = slots(data.get("default") or [], "default")
        if not default:
            default = [Slot(BUILTIN["standard"], 1.0)]
        return cls(classes, default)


_LOADED: Schedule | None = None


def load_schedule(path=None) -> Schedule:
    """The schedule in the JSON file ``path``, or the one shipped with the package (read once)."""
    global _LOADED
    if path is not None:
        with open(path, encoding="utf-8") as handle:
            return Schedule.from_json(json.load(handle))
    if _LOADED is None:
        text = (resources.files("kelvara.prover") / "schedule.json").read_text(encoding="utf-8")
        _LOADED = Schedule.from_json(json.loads(text))
    return _LOADED


def split_slots(slots: list[Slot], cores: int) -> list[list[Slot]]:
    """The slots of each of ``cores`` processes: slot i goes to process i mod cores.

    No process gets an empty list (fewer slots than cores: fewer processes).
    """
    if cores < 1:
        raise ValueError(f"cores must be at least 1, not {cores!r}")
    lanes = [slots[i::cores] for i in range(min(cores, len(slots)))]
    return lanes or [[]]


def slot_seconds(remaining: float | None, shares_left: list[float]) -> float | None:
    """Seconds for the first of the slots still to run, out of ``remaining`` (None: no limit).

    The last slot takes all that is left (without a limit: runs unbounded);
    the others their share of it, or of :data:`NO_LIMIT_SECONDS` without a limit.
    """
    if not shares_left:
        raise ValueError("no slot left to run")
    if len(shares_left) == 1:
        return remaining
    base = NO_LIMIT_SECONDS if remaining is None else remaining
    return base * shares_left[0] / sum(shares_left)
