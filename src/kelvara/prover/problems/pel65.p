%------------------------------------------------------------------------------
% Problem  : Pelletier 65
% Domain   : Full predicate logic with identity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : A group in which every element is its own inverse is commutative.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel65_1, axiom,
    ! [X, Y, Z] : f(f(X, Y), Z) = f(X, f(Y, Z)) ).
fof(pel65_2, axiom,
    ! [X] : f(a, X) = X ).
fof(pel65, conjecture,
    (! [X] : f(X, X) = a) => ! [X, Y] : f(X, Y) = f(Y, X) ).
%------------------------------------------------------------------------------
