%------------------------------------------------------------------------------
% Problem  : Pelletier 59
% Domain   : Full predicate logic with identity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel59_1, axiom,
    ! [X] : (f(X) <=> ~ f(g(X))) ).
fof(pel59, conjecture,
    ? [X] : (f(X) & ~ f(g(X))) ).
%------------------------------------------------------------------------------
