%------------------------------------------------------------------------------
% Problem  : Pelletier 33
% Domain   : Monadic predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel33, conjecture,
    (! [X] : ((p(a) & (p(X) => p(b))) => p(c))) <=> ! [X] : ((~ p(a) | p(X) | p(c)) & (~ p(a) | ~ p(b) | p(c))) ).
%------------------------------------------------------------------------------
