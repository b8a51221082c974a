%------------------------------------------------------------------------------
% Problem  : Pelletier 42
% Domain   : Full predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel42, conjecture,
    ~ ? [Y] : ! [X] : (f(X, Y) <=> ~ ? [Z] : (f(X, Z) & f(Z, X))) ).
%------------------------------------------------------------------------------
