%------------------------------------------------------------------------------
% Problem  : Pelletier 43
% Domain   : Full predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel43_1, axiom,
    ! [X, Y] : (q(X, Y) <=> ! [Z] : (f(Z, X) <=> f(Z, Y))) ).
fof(pel43, conjecture,
    ! [X, Y] : (q(X, Y) <=> q(Y, X)) ).
%------------------------------------------------------------------------------
