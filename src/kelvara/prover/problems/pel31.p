%------------------------------------------------------------------------------
% Problem  : Pelletier 31
% Domain   : Monadic predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel31_1, axiom,
    ~ ? [X] : (f(X) & (g(X) | h(X))) ).
fof(pel31_2, axiom,
    ? [X] : (i(X) & f(X)) ).
fof(pel31_3, axiom,
    ! [X] : (~ h(X) => j(X)) ).
fof(pel31, conjecture,
    ? [X] : (i(X) & j(X)) ).
%------------------------------------------------------------------------------
