%------------------------------------------------------------------------------
% Problem  : Pelletier 46
% Domain   : Full predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel46_1, axiom,
    ! [X] : ((f(X) & ! [Y] : ((f(Y) & h(Y, X)) => g(Y))) => g(X)) ).
fof(pel46_2, axiom,
    (? [X] : (f(X) & ~ g(X))) => ? [X] : (f(X) & ~ g(X) & ! [Y] : ((f(Y) & ~ g(Y)) => j(X, Y))) ).
fof(pel46_3, axiom,
    ! [X, Y] : ((f(X) & f(Y) & h(X, Y)) => ~ j(Y, X)) ).
fof(pel46, conjecture,
    ! [X] : (f(X) => g(X)) ).
%------------------------------------------------------------------------------
