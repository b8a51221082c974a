%------------------------------------------------------------------------------
% Problem  : Pelletier 18
% Domain   : Monadic predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : The drinker's paradox.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel18, conjecture,
    ? [Y] : ! [X] : (f(Y) => f(X)) ).
%------------------------------------------------------------------------------
