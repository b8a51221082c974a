"""Typing sample: uses of the public API that mypy and pyright must accept without a complaint.

``assert_type`` pins the types the stubs give, so a stub that widens a result
to ``Any`` or to a union fails the check.  Run by tests/test_typing.py.
"""

from __future__ import annotations

from typing_extensions import assert_type

from kelvara.core.ast import (
    And,
    Constant,
    Equality,
    Exists,
    Forall,
    Formula,
    FunctionApp,
    Not,
    PredicateApp,
    Term,
    Variable,
    canonicalize_bound_variables,
    free_variables,
)
from kelvara.core.substitutions import substitute_formula, unify_formulas
from kelvara.core.visitors import ASTVisitor, ExportVisitor, SizeVisitor, SubstitutionTransformer
from kelvara.prover.clausifier import Clause, Literal, to_cnf
from kelvara.prover.rules import apply_rule, get_resolution_rules, replace_atom_subterm, resolve_clauses

x, y = Variable(0), Variable(1)
a = Constant("a")
p_x = PredicateApp("P", 1, (x,))
f = Forall(x, And(p_x, PredicateApp("Q", 2, (x, y))))


def describe(node: Formula | Term) -> str:
    """Positional class patterns follow each class's __match_args__."""
    match node:
        case Forall(v, body) | Exists(v, body):
            assert_type(v, Variable)
            assert_type(body, Formula)
            return f"quantifier over v{v.id}"
        case And(left, right):
            return describe(left) + " and " + describe(right)
        case Not(operand):
            return "not " + describe(operand)
        case PredicateApp(pred, arity, args):
            assert_type(arity, int)
            assert_type(args, tuple[Term, ...])
            return f"{pred}/{arity}"
        case Equality(left, right):
            return describe(left) + " = " + describe(right)
        case Variable(ident, kind):
            return f"v{ident} ({kind.name})"
        case Constant(name):
            assert_type(name, str)
            return name
        case FunctionApp(func, arity, args, return_sort):
            return f"{func}/{arity}:{return_sort.name} of {len(args)}"
        case _:
            return "other"


# A dict of a narrower value type is a valid substitution.
narrow: dict[Variable, Constant] = {y: a}
substituted = SubstitutionTransformer(narrow).visit(f)
assert_type(substituted, Formula)
canonical = canonicalize_bound_variables(SubstitutionTransformer(narrow).visit(f))
assert_type(SubstitutionTransformer(narrow).visit(FunctionApp("g", 1, (y,))), Term)
assert_type(substitute_formula(p_x, narrow), PredicateApp)
assert_type(substitute_formula(f, narrow), Formula)
assert_type(unify_formulas(p_x, PredicateApp("P", 1, (a,))), dict[Variable, Term])
assert_type(free_variables(f), set[Variable])
assert_type(ExportVisitor("latex").visit(f), str)
assert_type(SizeVisitor().visit(f), int)


class CountConstants(ASTVisitor[int]):
    """A user visitor: the handlers' types come from the base class."""

    def visit_variable(self, node: Variable) -> int:
        return 0

    def visit_constant(self, node: Constant) -> int:
        return 1

    def visit_function_app(self, node: FunctionApp) -> int:
        return sum(self.visit(t) for t in node.args)

    def visit_predicate_app(self, node: PredicateApp) -> int:
        return sum(self.visit(t) for t in node.args)

    def visit_equality(self, node: Equality) -> int:
        return self.visit(node.left) + self.visit(node.right)

    def visit_not(self, node: Not) -> int:
        return self.visit(node.operand)

    def _binary(self, node: And) -> int:
        return self.visit(node.left) + self.visit(node.right)

    visit_and = _binary

    def visit_or(self, node: object) -> int:
        return 0

    def visit_implies(self, node: object) -> int:
        return 0

    def visit_iff(self, node: object) -> int:
        return 0

    def visit_forall(self, node: Forall) -> int:
        return self.visit(node.body)

    def visit_exists(self, node: Exists) -> int:
        return self.visit(node.body)


assert_type(CountConstants().visit(f), int)

# Clauses, literals and the rules.
c1, = to_cnf(p_x)
c2 = Clause([Literal(PredicateApp("P", 1, (a,)), False)])
assert_type(c1, Clause)
assert_type(c2.literals, tuple[Literal, ...])
for resolvent, unifier, (left, right) in resolve_clauses(c1, c2):
    assert_type(resolvent, Clause)
    assert_type(unifier, dict[Variable, Term])
    assert_type(left, Literal)
assert_type(c1.substitute(narrow), Clause)
assert_type(replace_atom_subterm(Equality(a, y), a, y), list[Equality])
results = apply_rule(get_resolution_rules()[0], [c1, c2])
match Literal(p_x, False):
    case Literal(atom, positive):
        assert_type(positive, bool)
