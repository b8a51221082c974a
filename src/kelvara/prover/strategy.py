"""Strategies: named, printable settings of one search, and their text form.

A strategy fixes the literal selection, the clause-selection queues and
their ratios, the symbol precedence and weights of the term ordering, the
simplification switches, goal direction (goal-weighted queues, set of
support), a term-depth limit and premise selection.  Its text form is a
comma-separated list of ``key=value`` settings, for instance::

    sel=max_neg_weight,queues=goal_weight:4/age:1,prec=goal_first,sine=1.5:3,sos=0

Keys (a setting left out keeps the engine's default):

``sel``      literal selection (the engine's ``SELECTIONS``);
``ratio``    lightest clauses picked per oldest one (without ``queues``);
``queues``   ``heuristic:ratio`` pairs separated by ``/``, picked round-robin;
``goalf``    how many times lighter conjecture symbols count in ``goal_weight``;
``prec``     symbol precedence scheme; ``weights``: symbol weight scheme;
``sos``      ``1`` for the set-of-support restriction;
``sine``     ``TOLERANCE:DEPTH`` of premise selection (depth 0: unbounded);
``depth``    term-depth limit of kept clauses;
``off``      simplifications switched off, separated by ``/`` (``demod``,
             ``subs``, ``backward``, ``subres``).

``str()`` of a strategy is its text form, and :func:`parse_spec` reads it
back to an equal strategy.  A strategy with set of support, premise
selection or a depth limit is not complete: its saturations are no models.
"""

from __future__ import annotations

import math
from dataclasses import dataclass, field, replace

__all__ = ["Strategy", "StrategyError", "parse_spec", "strategy_named", "BUILTIN", "engine_refusal",
           "lookup"]

SWITCHES = {"demod": "demodulation", "subs": "subsumption", "backward": "backward_simplification",
            "subres": "subsumption_resolution"}
_KEYS = ("sel", "ratio", "queues", "goalf", "prec", "weights", "sos", "sine", "depth", "off")


class StrategyError(ValueError):
    """A strategy text or name that cannot be read, with what is wrong."""


@dataclass(frozen=True)
class Strategy:
    """One setting of the search; ``name`` is only a label (equality ignores it)."""

    name: str = field(default="", compare=False)
    selection: str | None = None
    ratio: int | None = None
    queues: tuple[tuple[str, int], ...] = ()
    goal_factor: float | None = None
    precedence: str | None = None
    weights: str | None = None
    sos: bool = False
    sine: tuple[float, int] | None = None  # (tolerance, depth); depth 0 is unbounded
    depth_limit: int | None = None
    off: frozenset[str] = frozenset()  # keys of SWITCHES

    @property
    def complete(self) -> bool:
        """Whether a saturation under this strategy shows the input satisfiable."""
        return not self.sos and self.sine is None and self.depth_limit is None

    def spec(self) -> str:
        """The text form, read back by :func:`parse_spec`; settings in a fixed order."""
        parts = []
        if self.selection is not None:
            parts.append(f"sel={self.selection}")
        if self.ratio is not None:
            parts.append(f"ratio={self.ratio}")
        if self.queues:
            parts.append("queues=" + "/".join(f"{h}:{r}" for h, r in self.queues))
        if self.goal_factor is not None:
            parts.append(f"goalf={self.goal_factor!r}")
        if self.precedence is not None:
            parts.append(f"prec={self.precedence}")
        if self.weights is not None:
            parts.append(f"weights={self.weights}")
        if self.sos:
            parts.append("sos=1")
        if self.sine is not None:
            parts.append(f"sine={self.sine[0]!r}:{self.sine[1]}")
        if self.depth_limit is not None:
            parts.append(f"depth={self.depth_limit}")
        if self.off:
            parts.append("off=" + "/".join(sorted(self.off)))
        return ",".join(parts) or "default"

    def __str__(self) -> str:
        return self.spec()

    def describe(self) -> str:
        """``name: spec`` with completeness, one line for listings and ``--verbose``."""
        label = self.name or "custom"
        return f"{label}: {self.spec()}{'' if self.complete else '  (incomplete)'}"

    def engine_options(self) -> dict:
        """The engine options of this strategy (premise selection is done before the engine)."""
        options: dict = {}
        if self.selection is not None:
            options["selection"] = self.selection
        if self.ratio is not None:
            options["pick_given_ratio"] = self.ratio
        if self.queues:
            options["queues"] = list(self.queues)
        if self.goal_factor is not None:
            options["goal_factor"] = self.goal_factor
        if self.precedence is not None:
            options["precedence"] = self.precedence
        if self.weights is not None:
            options["symbol_weight"] = self.weights
        if self.sos:
            options["sos"] = True
        if self.depth_limit is not None:
            options["term_depth_limit"] = self.depth_limit
        for key in sorted(self.off):
            options[SWITCHES[key]] = False
        return options


def _word(key: str, value: str) -> str:
    if not value or not all(ch.isalnum() or ch == "_" for ch in value):
        raise StrategyError(f"{key}: not a name: {value!r}")
    return value


def _count(key: str, value: str, least: int = 0) -> int:
    try:
        number = int(value)
    except ValueError:
        raise StrategyError(f"{key}: not a whole number: {value!r}") from None
    if number < least:
        raise StrategyError(f"{key}: must be at least {least}: {value!r}")
    return number


def _real(key: str, value: str, least: float) -> float:
    try:
        number = float(value)
    except ValueError:
        raise StrategyError(f"{key}: not a number: {value!r}") from None
    if not math.isfinite(number) or number < least:
        raise StrategyError(f"{key}: must be a finite number of at least {least:g}: {value!r}")
    return number


def parse_spec(text: str, name: str = "") -> Strategy:
    """The strategy written as ``key=value,...`` (see the module text); ``default`` is the empty one.

    Raises StrategyError naming the setting that is wrong.  Names of
    selections, heuristics and schemes are checked by the engine when a
    strategy is run (:func:`engine_refusal`), not here.
    """
    if not isinstance(text, str):
        raise TypeError(f"a strategy text must be a str, not {type(text).__name__}")
    settings: dict = {}
    text = text.strip()
    if text == "default":
        return Strategy(name=name)
    seen = set()
    for part in text.split(","):
        key, sep, value = part.strip().partition("=")
        key, value = key.strip(), value.strip()
        if not sep:
            raise StrategyError(f"not a key=value setting: {part.strip()!r}")
        if key not in _KEYS:
            raise StrategyError(f"unknown setting {key!r} (known: {', '.join(_KEYS)})")
        if key in seen:
            raise StrategyError(f"setting {key!r} given twice")
        seen.add(key)
        if key == "sel":
            settings["selection"] = _word(key, value)
        elif key == "ratio":
            settings["ratio"] = _count(key, value)
        elif key == "queues":
            queues = []
            for item in value.split("/"):
                heuristic, colon, ratio = item.partition(":")
                if not colon:
                    raise StrategyError(f"queues: not heuristic:ratio: {item!r}")
                queues.append((_word(key, heuristic.strip()), _count(key, ratio.strip(), 1)))
            settings["queues"] = tuple(queues)
        elif key == "goalf":
            settings["goal_factor"] = _real(key, value, 1.0)
        elif key == "prec":
            settings["precedence"] = _word(key, value)
        elif key == "weights":
            settings["weights"] = _word(key, value)
        elif key == "sos":
            if value not in ("0", "1"):
                raise StrategyError(f"sos: 0 or 1, not {value!r}")
            settings["sos"] = value == "1"
        elif key == "sine":
            tolerance, colon, depth = value.partition(":")
            if not colon:
                raise StrategyError(f"sine: not TOLERANCE:DEPTH: {value!r}")
            settings["sine"] = (_real(key, tolerance, 1.0), _count(key, depth))
        elif key == "depth":
            settings["depth_limit"] = _count(key, value, 1)
        else:  # off
            switches = set()
            for item in value.split("/"):
                if item.strip() not in SWITCHES:
                    raise StrategyError(f"off: unknown switch {item.strip()!r} (known: {', '.join(SWITCHES)})")
                switches.add(item.strip())
            settings["off"] = frozenset(switches)
    return Strategy(name=name, **settings)


def _builtin(name: str, spec: str) -> Strategy:
    return parse_spec(spec, name)


#: The built-in strategies, in the order ``kelvara strategies`` lists them.
BUILTIN: dict[str, Strategy] = {s.name: s for s in (
    _builtin("standard", "sel=max_neg_weight,ratio=5"),
    _builtin("nosel", "sel=none,ratio=4"),
    _builtin("minsel", "sel=min_neg_weight,ratio=4"),
    _builtin("groundsel", "sel=ground_first,ratio=4"),
    _builtin("weighty", "sel=max_neg_weight,ratio=10"),
    _builtin("fair", "sel=max_neg_weight,ratio=1"),
    _builtin("nosel_weighty", "sel=none,ratio=12"),
    _builtin("sine_tight", "sel=max_neg_weight,ratio=4,sine=1.2:2"),
    _builtin("sine", "sel=max_neg_weight,ratio=4,sine=1.5:0"),
    _builtin("sine_wide", "sel=max_neg_weight,ratio=4,sine=3.0:0"),
    _builtin("sine_nosel", "sel=none,ratio=6,sine=2.0:0"),
    _builtin("goal", "sel=max_neg_weight,queues=goal_weight:4/age:1,goalf=3.0"),
    _builtin("goal_sos", "sel=max_neg_weight,queues=goal_weight:3/age:1,sos=1"),
    _builtin("goal_first", "sel=max_neg_weight,queues=goal_weight:4/age:1,prec=goal_first"),
    _builtin("frequency", "sel=max_neg_weight,ratio=4,prec=inv_frequency,weights=frequency"),
)}


def strategy_named(name: str) -> Strategy:
    """A built-in strategy by name; StrategyError listing the names otherwise."""
    try:
        return BUILTIN[name]
    except KeyError:
        raise StrategyError(f"no built-in strategy {name!r} (known: {', '.join(BUILTIN)})") from None


def lookup(text: str) -> Strategy:
    """``--strategy`` argument: a built-in name, or a text form with ``=`` in it."""
    text = text.strip()
    if "=" in text or text == "default":
        return parse_spec(text)
    return strategy_named(text)


def engine_refusal(strategy: Strategy, engine=None) -> str | None:
    """Why the engine cannot run the strategy (an option it does not know), or None.

    The engine checks its options before it reads any clause, so a run on no
    clauses tells at once.
    """
    if engine is None:
        from .saturation.native import EngineUnavailable, load_engine

        try:
            engine = load_engine()
        except EngineUnavailable as exc:
            return str(exc)
    options = strategy.engine_options()
    if not options:
        return None
    try:
        engine.saturate([], options)
    except (TypeError, ValueError) as exc:
        return f"the engine refuses {strategy.describe()}: {exc}"
    return None


def with_name(strategy: Strategy, name: str) -> Strategy:
    return replace(strategy, name=name)
