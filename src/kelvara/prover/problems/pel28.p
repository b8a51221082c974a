%------------------------------------------------------------------------------
% Problem  : Pelletier 28
% Domain   : Monadic predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel28_1, axiom,
    ! [X] : (p(X) => ! [Y] : q(Y)) ).
fof(pel28_2, axiom,
    (! [X] : (q(X) | r(X))) => ? [X] : (q(X) & s(X)) ).
fof(pel28_3, axiom,
    (? [X] : s(X)) => ! [X] : (f(X) => g(X)) ).
fof(pel28, conjecture,
    ! [X] : ((p(X) & f(X)) => g(X)) ).
%------------------------------------------------------------------------------
