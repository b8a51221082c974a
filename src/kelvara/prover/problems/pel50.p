%------------------------------------------------------------------------------
% Problem  : Pelletier 50
% Domain   : Full predicate logic with identity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel50_1, axiom,
    ! [X] : (f(a, X) | ! [Y] : f(X, Y)) ).
fof(pel50, conjecture,
    ? [X] : ! [Y] : f(X, Y) ).
%------------------------------------------------------------------------------
