%------------------------------------------------------------------------------
% Problem  : Pelletier 63
% Domain   : Full predicate logic with identity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : Right cancellation in a group given by left identity and left
%            inverses.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel63_1, axiom,
    ! [X, Y, Z] : f(f(X, Y), Z) = f(X, f(Y, Z)) ).
fof(pel63_2, axiom,
    ! [X] : f(a, X) = X ).
fof(pel63_3, axiom,
    ! [X] : ? [Y] : f(Y, X) = a ).
fof(pel63, conjecture,
    ! [X, Y, Z] : (f(X, Y) = f(Z, Y) => X = Z) ).
%------------------------------------------------------------------------------
