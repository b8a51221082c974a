%------------------------------------------------------------------------------
% Problem  : Pelletier 26
% Domain   : Monadic predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel26_1, axiom,
    (? [X] : p(X)) <=> ? [X] : q(X) ).
fof(pel26_2, axiom,
    ! [X, Y] : ((p(X) & q(Y)) => (r(X) <=> s(Y))) ).
fof(pel26, conjecture,
    (! [X] : (p(X) => r(X))) <=> ! [X] : (q(X) => s(X)) ).
%------------------------------------------------------------------------------
