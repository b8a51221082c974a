%------------------------------------------------------------------------------
% Problem  : Pelletier 24
% Domain   : Monadic predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel24_1, axiom,
    ~ ? [X] : (s(X) & q(X)) ).
fof(pel24_2, axiom,
    ! [X] : (p(X) => (q(X) | r(X))) ).
fof(pel24_3, axiom,
    (~ ? [X] : p(X)) => ? [Y] : q(Y) ).
fof(pel24_4, axiom,
    ! [X] : ((q(X) | r(X)) => s(X)) ).
fof(pel24, conjecture,
    ? [X] : (p(X) & r(X)) ).
%------------------------------------------------------------------------------
