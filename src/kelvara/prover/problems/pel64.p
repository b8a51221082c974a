%------------------------------------------------------------------------------
% Problem  : Pelletier 64
% Domain   : Full predicate logic with identity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : A left inverse is also a right inverse.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel64_1, axiom,
    ! [X, Y, Z] : f(f(X, Y), Z) = f(X, f(Y, Z)) ).
fof(pel64_2, axiom,
    ! [X] : f(a, X) = X ).
fof(pel64_3, axiom,
    ! [X] : ? [Y] : f(Y, X) = a ).
fof(pel64, conjecture,
    ! [X, Y] : (f(Y, X) = a => f(X, Y) = a) ).
%------------------------------------------------------------------------------
