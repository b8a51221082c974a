%------------------------------------------------------------------------------
% Problem  : Pelletier 20
% Domain   : Monadic predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel20, conjecture,
    (! [X, Y] : ? [Z] : ! [W] : ((p(X) & q(Y)) => (r(Z) & s(W)))) => ((? [X, Y] : (p(X) & q(Y))) => ? [Z] : r(Z)) ).
%------------------------------------------------------------------------------
