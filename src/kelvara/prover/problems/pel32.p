%------------------------------------------------------------------------------
% Problem  : Pelletier 32
% Domain   : Monadic predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel32_1, axiom,
    ! [X] : ((f(X) & (g(X) | h(X))) => i(X)) ).
fof(pel32_2, axiom,
    ! [X] : ((i(X) & h(X)) => j(X)) ).
fof(pel32_3, axiom,
    ! [X] : (k(X) => h(X)) ).
fof(pel32, conjecture,
    ! [X] : ((f(X) & k(X)) => j(X)) ).
%------------------------------------------------------------------------------
