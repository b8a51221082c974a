%------------------------------------------------------------------------------
% Problem  : Pelletier 37
% Domain   : Full predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel37_1, axiom,
    ! [Z] : ? [W] : ! [X] : ? [Y] : ((p(X, Z) => p(Y, W)) & p(Y, Z) & (p(Y, W) => ? [U] : q(U, W))) ).
fof(pel37_2, axiom,
    ! [X, Z] : (~ p(X, Z) => ? [Y] : q(Y, Z)) ).
fof(pel37_3, axiom,
    (? [X, Y] : q(X, Y)) => ! [X] : r(X, X) ).
fof(pel37, conjecture,
    ! [X] : ? [Y] : r(X, Y) ).
%------------------------------------------------------------------------------
