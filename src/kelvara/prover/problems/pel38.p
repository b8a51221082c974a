%------------------------------------------------------------------------------
% Problem  : Pelletier 38
% Domain   : Full predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel38, conjecture,
    (! [X] : ((p(a) & (p(X) => ? [Y] : (p(Y) & r(X, Y)))) => ? [Z, W] : (p(Z) & r(X, W) & r(W, Z)))) <=> ! [X] : ((~ p(a) | p(X) | ? [Z, W] : (p(Z) & r(X, W) & r(W, Z))) & (~ p(a) | ~ (? [Y] : (p(Y) & r(X, Y))) | ? [Z, W] : (p(Z) & r(X, W) & r(W, Z)))) ).
%------------------------------------------------------------------------------
