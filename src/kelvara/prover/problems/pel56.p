%------------------------------------------------------------------------------
% Problem  : Pelletier 56
% Domain   : Full predicate logic with identity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel56, conjecture,
    (! [X] : ((? [Y] : (f(Y) & X = g(Y))) => f(X))) <=> ! [X] : (f(X) => f(g(X))) ).
%------------------------------------------------------------------------------
