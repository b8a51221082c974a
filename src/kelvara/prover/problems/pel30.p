%------------------------------------------------------------------------------
% Problem  : Pelletier 30
% Domain   : Monadic predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel30_1, axiom,
    ! [X] : ((f(X) | g(X)) => ~ h(X)) ).
fof(pel30_2, axiom,
    ! [X] : ((g(X) => ~ i(X)) => (f(X) & h(X))) ).
fof(pel30, conjecture,
    ! [X] : i(X) ).
%------------------------------------------------------------------------------
