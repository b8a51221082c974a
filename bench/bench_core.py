"""Core operations per 30-node formula, kelvara beside its pure-Python model.

Eight rows, each measured in one run on the same seeded workload (10,000
random formulas of about 30 nodes from bench/formula_gen.py, and for the two
clause rows seeded pairs of 1-3 literal clauses), kelvara and the model timed
alternately (best of the repeats), with the ratio printed:

  ==, set dedupe (half duplicates), canonicalize_bound_variables, the
  alpha-equivalence test canonicalize(f) == canonicalize(g),
  SubstitutionTransformer({v: t}).visit(f) with half of them renaming a binder,
  building the formula from prebuilt leaves, resolve_clauses and paramodulate.

The models: the frozen-dataclass nodes of bench/models.py, the canonicalizer of
bench/bench_queries.py, the substitution visitor of bench/bench_visitors.py,
and tests/rules_model.py run over the pure-Python clauses and unification.

    PYTHONPATH=src python bench/bench_core.py [--repeat R] [--rows a,b] [--formulas N]
    PYTHONPATH=src python bench/bench_core.py --loop ROW --times N
        (kelvara only: build the workload, then run ROW N times under
        itertools.starmap; valgrind --tool=callgrind --toggle-collect=starmap_next
        counts the instructions of exactly those runs)
"""

from __future__ import annotations

import argparse
import functools
import itertools
import os
import random
import sys
import time
import types

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import models as M  # noqa: E402
from bench_queries import py_canonicalize  # noqa: E402
from bench_visitors import PySubstitution  # noqa: E402
from formula_gen import random_formula  # noqa: E402

import kelvara.core.substitutions as S  # noqa: E402
import kelvara.prover.clausifier as CL  # noqa: E402
import kelvara.prover.rules as R  # noqa: E402
from kelvara.core import ast as K  # noqa: E402
from kelvara.core import visitors as V  # noqa: E402

FORMULAS = 10_000
PAIRS = 2_000
SIZE = 30


def pure_rules_model() -> types.ModuleType:
    """tests/rules_model.py loaded afresh over the Python clauses and unification."""
    path = os.path.join(HERE, "..", "tests", "rules_model.py")
    mod = types.ModuleType("rules_model_pure")
    mod.__file__ = path
    with open(path) as fh:
        code = compile(fh.read(), path, "exec")
    exec(code, mod.__dict__)
    py = CL.python_implementation
    mod.Clause, mod.Literal = py["Clause"], py["Literal"]
    mod.unify_formulas = S.python_implementation["unify_formulas"]
    mod.unify_terms = S.python_implementation["unify_terms"]
    return mod


# ---------------------------------------------------------------- workloads


def leaf_name(n) -> str:
    return f"V{n.id}" if type(n).__name__ == "Variable" else f"C{n.name}"


def source(n) -> str:
    """Python text that builds `n` from the prebuilt leaves V0..V5, Ca, Cb."""
    kind = type(n).__name__
    if kind in ("Variable", "Constant"):
        return leaf_name(n)
    if kind == "FunctionApp":
        return f"FunctionApp({n.func!r}, {n.arity}, ({''.join(source(a) + ', ' for a in n.args)}))"
    if kind == "PredicateApp":
        return f"PredicateApp({n.pred!r}, {n.arity}, ({''.join(source(a) + ', ' for a in n.args)}))"
    if kind == "Not":
        return f"Not({source(n.operand)})"
    if kind in ("Forall", "Exists"):
        return f"{kind}({source(n.variable)}, {source(n.body)})"
    return f"{kind}({source(n.left)}, {source(n.right)})"


def builders(mod, texts: list[str]) -> list:
    """One function per text, reading classes and leaves from its closure (not from
    globals, whose lookups would stay unspecialised in functions run only a few times)."""
    names = ["FunctionApp", "PredicateApp", "Not", "And", "Or", "Implies", "Iff", "Forall", "Exists"]
    leaves = [f"V{i}" for i in range(6)] + ["Ca", "Cb"]
    body = "".join(f"    def b{i}(): return {t}\n" for i, t in enumerate(texts))
    code = f"def factory({', '.join(names + leaves)}):\n{body}    return [{', '.join(f'b{i}' for i in range(len(texts)))}]\n"
    ns: dict = {}
    exec(compile(code, "<builders>", "exec"), ns)
    values = [getattr(mod, n) for n in names] + [mod.Variable(i) for i in range(6)] + [mod.Constant("a"), mod.Constant("b")]
    return ns["factory"](*values)


def rename_bound(mod, n, env: dict, offset: int):
    """`n` with every bound variable renamed to id + offset (an alpha-variant)."""
    kind = type(n).__name__
    if kind == "Variable":
        return env.get(n.id, n)
    if kind == "Constant":
        return n
    if kind == "FunctionApp":
        return mod.FunctionApp(n.func, n.arity, tuple(rename_bound(mod, a, env, offset) for a in n.args))
    if kind == "PredicateApp":
        return mod.PredicateApp(n.pred, n.arity, tuple(rename_bound(mod, a, env, offset) for a in n.args))
    if kind == "Not":
        return mod.Not(rename_bound(mod, n.operand, env, offset))
    if kind in ("Forall", "Exists"):
        fresh = mod.Variable(n.variable.id + offset)
        return getattr(mod, kind)(fresh, rename_bound(mod, n.body, {**env, n.variable.id: fresh}, offset))
    return getattr(mod, kind)(rename_bound(mod, n.left, env, offset), rename_bound(mod, n.right, env, offset))


def substitution_cases(formulas: list) -> list[tuple[int, int, bool]]:
    """Per formula (variable id, binder id or -1, renames): even formulas get a binding that
    forces a binder to be renamed where one exists, odd ones a capture-free binding."""
    cases = []
    for i, f in enumerate(formulas):
        free = sorted(v.id for v in K.free_variables(f))
        bound = sorted(v.id for v in K.bound_variables(f))
        v = free[0] if free else 0
        choice = (v, -1, False)
        if i % 2 == 0:
            for fv in free:
                for b in bound:
                    out = V.SubstitutionTransformer({K.Variable(fv): K.FunctionApp("g", 2, (K.Variable(b), K.Constant("a")))}).visit(f)
                    if K.bound_variables(out) != K.bound_variables(f):
                        choice = (fv, b, True)
                        break
                if choice[2]:
                    break
        cases.append(choice)
    return cases


def subst_mapping(mod, case):
    v, b, _ = case
    t = mod.FunctionApp("g", 2, (mod.Variable(b), mod.Constant("a"))) if b >= 0 else mod.FunctionApp("f", 1, (mod.Constant("b"),))
    return {mod.Variable(v): t}


def random_term(rng: random.Random, depth: int):
    r = rng.random()
    if depth == 0 or r < 0.55:
        return K.Variable(rng.randrange(4)) if rng.random() < 0.5 else K.Constant(rng.choice("abc"))
    if r < 0.85:
        return K.FunctionApp("f", 1, (random_term(rng, depth - 1),))
    return K.FunctionApp("g", 2, (random_term(rng, depth - 1), random_term(rng, depth - 1)))


def random_atom(rng: random.Random):
    r = rng.random()
    if r < 0.3:
        return K.Equality(random_term(rng, 2), random_term(rng, 2))
    if r < 0.65:
        return K.PredicateApp("P", 1, (random_term(rng, 2),))
    return K.PredicateApp("Q", 2, (random_term(rng, 2), random_term(rng, 2)))


def clause_pairs(count: int, seed: int) -> list[tuple[list, list]]:
    rng = random.Random(seed)

    def lits():
        return [(random_atom(rng), rng.random() < 0.5) for _ in range(rng.randint(1, 3))]
    return [(lits(), lits()) for _ in range(count)]


def clauses(pairs, clause_cls, literal_cls) -> list:
    return [tuple(clause_cls(frozenset(literal_cls(a, s) for a, s in side)) for side in pair) for pair in pairs]


# ---------------------------------------------------------------- the rows


class Workload:
    """The inputs of every row, each built on first use (so that a --loop run builds only its own)."""

    def __init__(self, with_model: bool = True) -> None:
        self.mods = (K, M) if with_model else (K,)
        self.with_model = with_model

    @functools.cached_property
    def formulas(self) -> dict:
        return {m: [random_formula(m, SIZE, seed=s) for s in range(FORMULAS)] for m in self.mods}

    @functools.cached_property
    def copies(self) -> dict:
        return {m: [random_formula(m, SIZE, seed=s) for s in range(FORMULAS)] for m in self.mods}

    @functools.cached_property
    def halfdup(self) -> dict:
        """Every odd formula followed by a separately built copy of itself."""
        return {m: [self.formulas[m][i] if i % 2 else self.copies[m][i + 1] for i in range(FORMULAS)]
                for m in self.mods}

    @functools.cached_property
    def variants(self) -> dict:
        return {m: [rename_bound(m, f, {}, 100) for f in self.formulas[m]] for m in self.mods}

    @functools.cached_property
    def builders(self) -> dict:
        texts = [source(f) for f in self.formulas[K]]
        return {m: builders(m, texts) for m in self.mods}

    @functools.cached_property
    def cases(self) -> list:
        return substitution_cases(self.formulas[K])

    @functools.cached_property
    def substs(self) -> dict:
        return {m: [subst_mapping(m, c) for c in self.cases] for m in self.mods}

    @functools.cached_property
    def pairs(self) -> dict:
        raw = clause_pairs(PAIRS, 16)
        out = {K: clauses(raw, CL.Clause, CL.Literal)}
        if self.with_model:
            py = CL.python_implementation
            out[M] = clauses(raw, py["Clause"], py["Literal"])
        return out

    @functools.cached_property
    def model_rules(self) -> types.ModuleType:
        return pure_rules_model()

    def renaming_share(self) -> float:
        return sum(c[2] for c in self.cases) / len(self.cases)


def row_eq(w, m):
    pairs = list(zip(w.formulas[m], w.copies[m]))

    def run():
        for a, b in pairs:
            a == b  # noqa: B015
    return run, len(pairs)


def row_set(w, m):
    items = w.halfdup[m]
    return (lambda: set(items)), len(items)


def row_canon(w, m):
    fs = w.formulas[m]
    canon = K.canonicalize_bound_variables if m is K else py_canonicalize

    def run():
        for f in fs:
            canon(f)
    return run, len(fs)


def row_alpha(w, m):
    pairs = list(zip(w.formulas[m], w.variants[m]))
    canon = K.canonicalize_bound_variables if m is K else py_canonicalize

    def run():
        for f, g in pairs:
            canon(f) == canon(g)  # noqa: B015
    return run, len(pairs)


def row_subst(w, m):
    work = list(zip(w.substs[m], w.formulas[m]))
    cls = V.SubstitutionTransformer if m is K else PySubstitution

    def run():
        for mapping, f in work:
            cls(mapping).visit(f)
    return run, len(work)


def row_build(w, m):
    bs = w.builders[m]

    def run():
        for b in bs:
            b()
    return run, len(bs)


def row_rules(name):
    def make(w, m):
        impl = R if m is K else w.model_rules
        fn = getattr(impl, name)
        pairs = w.pairs[m]

        def run():
            for c1, c2 in pairs:
                fn(c1, c2)
        return run, len(pairs)
    return make


ROWS = [
    ("eq", "== of two equal, separately built formulas", row_eq, 0.4),
    ("set", "dedupe in a set (half duplicates)", row_set, 0.5),
    ("canon", "canonicalize_bound_variables", row_canon, 1.5),
    ("alpha", "canonicalize(f) == canonicalize(g)", row_alpha, 3.0),
    ("subst", "SubstitutionTransformer({v: t}).visit(f)", row_subst, 3.0),
    ("build", "building the formula from prebuilt leaves", row_build, 3.0),
    ("resolve", "resolve_clauses on a pair of 1-3 literal clauses", row_rules("resolve_clauses"), 4.0),
    ("para", "paramodulate on a pair", row_rules("paramodulate"), 20.0),
]


def check(w) -> None:
    """Both sides must compute the same thing before their speed is compared."""
    for i in range(0, FORMULAS, 97):
        assert w.formulas[K][i] == w.copies[K][i] and w.formulas[M][i] == w.copies[M][i]
        assert K.canonicalize_bound_variables(w.formulas[K][i]) == K.canonicalize_bound_variables(w.variants[K][i])
        assert py_canonicalize(w.formulas[M][i]) == py_canonicalize(w.variants[M][i])
        assert w.builders[K][i]() == w.formulas[K][i] and w.builders[M][i]() == w.formulas[M][i]
    assert len(set(w.halfdup[K])) == len(set(w.halfdup[M]))
    for (k1, k2), (p1, p2) in list(zip(w.pairs[K], w.pairs[M]))[:200]:
        assert len(R.resolve_clauses(k1, k2)) == len(w.model_rules.resolve_clauses(p1, p2))
        assert len(R.paramodulate(k1, k2)) == len(w.model_rules.paramodulate(p1, p2))


def best(run, repeat: int, reps: int = 1) -> float:
    """The shortest of `repeat` timings of `reps` runs in a row."""
    t = float("inf")
    for _ in range(repeat):
        t0 = time.perf_counter()
        for _ in range(reps):
            run()
        t = min(t, time.perf_counter() - t0)
    return t


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--rows", default=",".join(r[0] for r in ROWS))
    parser.add_argument("--loop", help="kelvara only: run this row --times times (for callgrind)")
    parser.add_argument("--times", type=int, default=1)
    parser.add_argument("--formulas", type=int, default=FORMULAS,
                        help="workload size, even (a small one stays in the caches: see how much of a row is memory)")
    args = parser.parse_args()
    globals().update(FORMULAS=args.formulas, PAIRS=max(1, args.formulas // 5))
    if args.loop:
        w = Workload(with_model=False)
        run, n = {r[0]: r[2] for r in ROWS}[args.loop](w, K)
        run()  # warm up
        # The loop runs under itertools.starmap, so that a profiler can collect
        # exactly it: valgrind --tool=callgrind --toggle-collect=starmap_next
        list(itertools.starmap(run, [()] * args.times))
        print(f"{args.times * n} operations")
        return
    w = Workload()
    check(w)
    print(f"{FORMULAS} formulas of about {SIZE} nodes (seeds 0..{FORMULAS - 1}), {PAIRS} clause pairs; "
          f"{100 * w.renaming_share():.0f}% of the substitutions rename a binder; best of {args.repeat}")
    print(f"{'operation (per formula or pair)':52} {'kelvara µs':>11} {'model µs':>10} {'ratio':>7} {'target':>7}")
    wanted = args.rows.split(",")
    for key, label, make, target in ROWS:
        if key not in wanted:
            continue
        run_k, n = make(w, K)
        run_m, n_m = make(w, M)
        # A small workload runs several times per timing, so that each timing
        # covers about as many operations as the default one.
        reps = max(1, 10_000 // n)
        tk = tm = float("inf")
        for _ in range(args.repeat):  # alternate so that load on the machine hits both sides
            tk = min(tk, best(run_k, 1, reps))
            tm = min(tm, best(run_m, 1, reps))
        tk, tm = tk / (n * reps) * 1e6, tm / (n_m * reps) * 1e6
        mark = "ok" if tk <= target else "MISS"
        print(f"{label:52} {tk:11.2f} {tm:10.1f} {tm / tk:6.1f}x {target:6.1f} {mark}")


if __name__ == "__main__":
    main()
