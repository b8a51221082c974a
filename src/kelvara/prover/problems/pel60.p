%------------------------------------------------------------------------------
% Problem  : Pelletier 60
% Domain   : Full predicate logic with identity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel60, conjecture,
    ! [X] : (f(X, g(X)) <=> ? [Y] : ((! [Z] : (f(Z, Y) => f(Z, g(X)))) & f(X, Y))) ).
%------------------------------------------------------------------------------
