%------------------------------------------------------------------------------
% Problem  : Pelletier 68
% Domain   : Full predicate logic with identity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : The axioms of problem 66 with contraposition in the other
%            direction do not give x implies not not x.
% Comments : Not a theorem: interpret t as truth in two-valued logic, i as
%            implication and n as the constant false; every axiom holds and the
%            conjecture fails for a true x. Its clause set has no finite
%            saturation.
% Status   : CounterSatisfiable
%------------------------------------------------------------------------------
fof(pel68_1, axiom,
    ! [X, Y] : t(i(X, i(Y, X))) ).
fof(pel68_2, axiom,
    ! [X, Y, Z] : t(i(i(X, i(Y, Z)), i(i(X, Y), i(X, Z)))) ).
fof(pel68_3, axiom,
    ! [X, Y] : t(i(i(Y, X), i(n(X), n(Y)))) ).
fof(pel68_4, axiom,
    ! [X, Y] : ((t(i(X, Y)) & t(X)) => t(Y)) ).
fof(pel68, conjecture,
    ! [X] : t(i(X, n(n(X)))) ).
%------------------------------------------------------------------------------
