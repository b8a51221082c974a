"""End-of-batch report: tables per expected status and per folder, and the contradictions.

Every answer that contradicts an expected status is listed on its own loud
block; the command exits non-zero when there is one.
"""

from __future__ import annotations

from typing import Iterable, TextIO

from .results import category

_COLUMNS = ("problems", "solved", "agree", "contradict", "unsolved", "errors", "time/s")


def _rows(records: Iterable[dict], key) -> list[tuple]:
    groups: dict[str, list[dict]] = {}
    for record in records:
        groups.setdefault(key(record), []).append(record)
    rows = []
    for name in sorted(groups):
        group = groups[name]
        kinds = [category(r["status"]) for r in group]
        rows.append((name, len(group), kinds.count("solved"),
                     sum(r.get("agreement") in ("agrees", "compatible") for r in group),
                     sum(r.get("agreement") == "contradicts" for r in group),
                     kinds.count("unsolved"), kinds.count("error"),
                     f"{sum(r.get('wall') or 0.0 for r in group):.1f}"))
    return rows


def table(title: str, records: list[dict], key) -> str:
    """A plain text table of the records grouped by ``key``, with a total row."""
    rows = _rows(records, key)
    total = _rows(records, lambda r: "total")
    head = (title,) + _COLUMNS
    body = [tuple(str(v) for v in row) for row in rows + total]
    widths = [max(len(str(head[i])), *(len(r[i]) for r in body)) for i in range(len(head))]

    def line(cells) -> str:
        first = f"{cells[0]:<{widths[0]}}"
        return "  ".join([first] + [f"{c:>{w}}" for c, w in zip(cells[1:], widths[1:])])

    out = [line(head), "-" * (sum(widths) + 2 * (len(widths) - 1))]
    out.extend(line(r) for r in body[:-1])
    out.append(out[1])
    out.append(line(body[-1]))
    return "\n".join(out)


def contradictions(records: Iterable[dict]) -> list[dict]:
    return [r for r in records if r.get("agreement") == "contradicts"]


def report(records: list[dict], out: TextIO, err: TextIO) -> int:
    """Print the summary tables to ``out`` and the contradictions to ``err``; their count."""
    if not records:
        print("no results", file=out)
        return 0
    print(table("expected", records, lambda r: r.get("expected") or "-"), file=out)
    print(file=out)
    print(table("folder", records, lambda r: r.get("folder") or "-"), file=out)
    bad = contradictions(records)
    if bad:
        print("!" * 72, file=err)
        print(f"!! {len(bad)} ANSWER{'S' if len(bad) > 1 else ''} CONTRADICT THE EXPECTED STATUS", file=err)
        for r in bad:
            print(f"!!   {r['problem']}: answered {r['status']}, expected {r['expected']}  ({r['path']})",
                  file=err)
        print("!" * 72, file=err)
    return len(bad)
