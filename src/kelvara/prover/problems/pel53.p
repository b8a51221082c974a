%------------------------------------------------------------------------------
% Problem  : Pelletier 53
% Domain   : Full predicate logic with identity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel53_1, axiom,
    ? [X, Y] : (X != Y & ! [Z] : (Z = X | Z = Y)) ).
fof(pel53, conjecture,
    (? [Z] : ! [X] : ((? [W] : ! [Y] : (f(X, Y) <=> Y = W)) <=> X = Z)) <=> ? [W] : ! [Y] : ((? [Z] : ! [X] : (f(X, Y) <=> X = Z)) <=> Y = W) ).
%------------------------------------------------------------------------------
