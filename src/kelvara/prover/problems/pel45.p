%------------------------------------------------------------------------------
% Problem  : Pelletier 45
% Domain   : Full predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel45_1, axiom,
    ! [X] : ((f(X) & ! [Y] : ((g(Y) & h(X, Y)) => j(X, Y))) => ! [Y] : ((g(Y) & h(X, Y)) => k(Y))) ).
fof(pel45_2, axiom,
    ~ ? [Y] : (l(Y) & k(Y)) ).
fof(pel45_3, axiom,
    ? [X] : (f(X) & (! [Y] : (h(X, Y) => l(Y))) & ! [Y] : ((g(Y) & h(X, Y)) => j(X, Y))) ).
fof(pel45, conjecture,
    ? [X] : (f(X) & ~ ? [Y] : (g(Y) & h(X, Y))) ).
%------------------------------------------------------------------------------
