%------------------------------------------------------------------------------
% Problem  : Pelletier 54
% Domain   : Full predicate logic with identity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : Montague's paradox of grounded classes.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel54_1, axiom,
    ! [Y] : ? [Z] : ! [X] : (f(X, Z) <=> X = Y) ).
fof(pel54, conjecture,
    ~ ? [W] : ! [X] : (f(X, W) <=> ! [U] : (f(X, U) => ? [Y] : (f(Y, U) & ~ ? [Z] : (f(Z, U) & f(Z, Y))))) ).
%------------------------------------------------------------------------------
