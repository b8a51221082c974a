%------------------------------------------------------------------------------
% Problem  : Pelletier 29
% Domain   : Monadic predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel29_1, axiom,
    ? [X] : f(X) ).
fof(pel29_2, axiom,
    ? [X] : g(X) ).
fof(pel29, conjecture,
    ((! [X] : (f(X) => h(X))) & ! [X] : (g(X) => j(X))) <=> ! [X, Y] : ((f(X) & g(Y)) => (h(X) & j(Y))) ).
%------------------------------------------------------------------------------
