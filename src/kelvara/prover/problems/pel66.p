%------------------------------------------------------------------------------
% Problem  : Pelletier 66
% Domain   : Full predicate logic with identity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : In an axiomatisation of classical propositional logic by the
%            combinators K and S, contraposition and modus ponens, x implies
%            not not x.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel66_1, axiom,
    ! [X, Y] : t(i(X, i(Y, X))) ).
fof(pel66_2, axiom,
    ! [X, Y, Z] : t(i(i(X, i(Y, Z)), i(i(X, Y), i(X, Z)))) ).
fof(pel66_3, axiom,
    ! [X, Y] : t(i(i(n(X), n(Y)), i(Y, X))) ).
fof(pel66_4, axiom,
    ! [X, Y] : ((t(i(X, Y)) & t(X)) => t(Y)) ).
fof(pel66, conjecture,
    ! [X] : t(i(X, n(n(X)))) ).
%------------------------------------------------------------------------------
