%------------------------------------------------------------------------------
% Problem  : Pelletier 27
% Domain   : Monadic predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel27_1, axiom,
    ? [X] : (f(X) & ~ g(X)) ).
fof(pel27_2, axiom,
    ! [X] : (f(X) => h(X)) ).
fof(pel27_3, axiom,
    ! [X] : ((j(X) & i(X)) => f(X)) ).
fof(pel27_4, axiom,
    (? [X] : (h(X) & ~ g(X))) => ! [X] : (i(X) => ~ h(X)) ).
fof(pel27, conjecture,
    ! [X] : (j(X) => ~ i(X)) ).
%------------------------------------------------------------------------------
