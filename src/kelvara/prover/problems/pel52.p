%------------------------------------------------------------------------------
% Problem  : Pelletier 52
% Domain   : Full predicate logic with identity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel52_1, axiom,
    ? [Z, W] : ! [X, Y] : (f(X, Y) <=> (X = Z & Y = W)) ).
fof(pel52, conjecture,
    ? [W] : ! [Y] : ((? [Z] : ! [X] : (f(X, Y) <=> X = Z)) <=> Y = W) ).
%------------------------------------------------------------------------------
