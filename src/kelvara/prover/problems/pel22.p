%------------------------------------------------------------------------------
% Problem  : Pelletier 22
% Domain   : Monadic predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel22, conjecture,
    (! [X] : (p <=> f(X))) => (p <=> ! [X] : f(X)) ).
%------------------------------------------------------------------------------
