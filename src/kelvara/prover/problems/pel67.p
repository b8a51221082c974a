%------------------------------------------------------------------------------
% Problem  : Pelletier 67
% Domain   : Full predicate logic with identity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : With the axioms of problem 66, not not x implies x.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel67_1, axiom,
    ! [X, Y] : t(i(X, i(Y, X))) ).
fof(pel67_2, axiom,
    ! [X, Y, Z] : t(i(i(X, i(Y, Z)), i(i(X, Y), i(X, Z)))) ).
fof(pel67_3, axiom,
    ! [X, Y] : t(i(i(n(X), n(Y)), i(Y, X))) ).
fof(pel67_4, axiom,
    ! [X, Y] : ((t(i(X, Y)) & t(X)) => t(Y)) ).
fof(pel67, conjecture,
    ! [X] : t(i(n(n(X)), X)) ).
%------------------------------------------------------------------------------
