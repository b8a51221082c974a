%------------------------------------------------------------------------------
% Problem  : Pelletier 58
% Domain   : Full predicate logic with identity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel58_1, axiom,
    ! [X, Y] : f(X) = g(Y) ).
fof(pel58, conjecture,
    ! [X, Y] : f(f(X)) = f(g(Y)) ).
%------------------------------------------------------------------------------
