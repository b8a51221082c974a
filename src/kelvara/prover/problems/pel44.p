%------------------------------------------------------------------------------
% Problem  : Pelletier 44
% Domain   : Full predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel44_1, axiom,
    ! [X] : (f(X) => ((? [Y] : (g(Y) & h(X, Y))) & ? [Y] : (g(Y) & ~ h(X, Y)))) ).
fof(pel44_2, axiom,
    ? [X] : (j(X) & ! [Y] : (g(Y) => h(X, Y))) ).
fof(pel44, conjecture,
    ? [X] : (j(X) & ~ f(X)) ).
%------------------------------------------------------------------------------
