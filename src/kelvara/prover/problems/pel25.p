%------------------------------------------------------------------------------
% Problem  : Pelletier 25
% Domain   : Monadic predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Comments : As published, the first three axioms already contradict each
%            other (an object with P has G and U, and U excludes G), so
%            the conjecture follows from them alone.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel25_1, axiom,
    ? [X] : p(X) ).
fof(pel25_2, axiom,
    ! [X] : (f(X) => (~ g(X) & r(X))) ).
fof(pel25_3, axiom,
    ! [X] : (p(X) => (g(X) & f(X))) ).
fof(pel25_4, axiom,
    (! [X] : (p(X) => q(X))) | ? [X] : (p(X) & r(X)) ).
fof(pel25, conjecture,
    ? [X] : (q(X) & p(X)) ).
%------------------------------------------------------------------------------
