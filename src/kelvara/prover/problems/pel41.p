%------------------------------------------------------------------------------
% Problem  : Pelletier 41
% Domain   : Full predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel41_1, axiom,
    ! [Z] : ? [Y] : ! [X] : (f(X, Y) <=> (f(X, Z) & ~ f(X, X))) ).
fof(pel41, conjecture,
    ~ ? [Z] : ! [X] : f(X, Z) ).
%------------------------------------------------------------------------------
