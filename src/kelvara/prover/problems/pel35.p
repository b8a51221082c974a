%------------------------------------------------------------------------------
% Problem  : Pelletier 35
% Domain   : Full predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel35, conjecture,
    ? [X, Y] : (p(X, Y) => ! [X, Y] : p(X, Y)) ).
%------------------------------------------------------------------------------
