%------------------------------------------------------------------------------
% Problem  : Pelletier 21
% Domain   : Monadic predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel21_1, axiom,
    ? [X] : (p => f(X)) ).
fof(pel21_2, axiom,
    ? [X] : (f(X) => p) ).
fof(pel21, conjecture,
    ? [X] : (p <=> f(X)) ).
%------------------------------------------------------------------------------
