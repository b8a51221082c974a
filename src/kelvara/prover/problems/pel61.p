%------------------------------------------------------------------------------
% Problem  : Pelletier 61
% Domain   : Full predicate logic with identity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : Associativity extends to four arguments.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel61_1, axiom,
    ! [X, Y, Z] : f(X, f(Y, Z)) = f(f(X, Y), Z) ).
fof(pel61, conjecture,
    ! [X, Y, Z, W] : f(X, f(Y, f(Z, W))) = f(f(f(X, Y), Z), W) ).
%------------------------------------------------------------------------------
