%------------------------------------------------------------------------------
% Problem  : Pelletier 57
% Domain   : Full predicate logic with identity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel57_1, axiom,
    f(g(a, b), g(b, c)) ).
fof(pel57_2, axiom,
    f(g(b, c), g(a, c)) ).
fof(pel57_3, axiom,
    ! [X, Y, Z] : ((f(X, Y) & f(Y, Z)) => f(X, Z)) ).
fof(pel57, conjecture,
    f(g(a, b), g(a, c)) ).
%------------------------------------------------------------------------------
