%------------------------------------------------------------------------------
% Problem  : Pelletier 19
% Domain   : Monadic predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel19, conjecture,
    ? [X] : ! [Y, Z] : ((p(Y) => q(Z)) => (p(X) => q(X))) ).
%------------------------------------------------------------------------------
