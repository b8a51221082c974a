%------------------------------------------------------------------------------
% Problem  : Pelletier 36
% Domain   : Full predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel36_1, axiom,
    ! [X] : ? [Y] : f(X, Y) ).
fof(pel36_2, axiom,
    ! [X] : ? [Y] : g(X, Y) ).
fof(pel36_3, axiom,
    ! [X, Y] : ((f(X, Y) | g(X, Y)) => ! [Z] : ((f(Y, Z) | g(Y, Z)) => h(X, Z))) ).
fof(pel36, conjecture,
    ! [X] : ? [Y] : h(X, Y) ).
%------------------------------------------------------------------------------
