%------------------------------------------------------------------------------
% Problem  : Pelletier 40
% Domain   : Full predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel40, conjecture,
    (? [Y] : ! [X] : (f(X, Y) <=> f(X, X))) => ~ ! [X] : ? [Y] : ! [Z] : (f(Z, Y) <=> ~ f(Z, X)) ).
%------------------------------------------------------------------------------
