%------------------------------------------------------------------------------
% Problem  : Pelletier 69
% Domain   : Full predicate logic with identity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : The axioms of problem 68 do not give not not x implies x either.
% Comments : Not a theorem: interpret n as the constant true; every axiom holds
%            and the conjecture fails for a false x. Its clause set has no
%            finite saturation.
% Status   : CounterSatisfiable
%------------------------------------------------------------------------------
fof(pel69_1, axiom,
    ! [X, Y] : t(i(X, i(Y, X))) ).
fof(pel69_2, axiom,
    ! [X, Y, Z] : t(i(i(X, i(Y, Z)), i(i(X, Y), i(X, Z)))) ).
fof(pel69_3, axiom,
    ! [X, Y] : t(i(i(Y, X), i(n(X), n(Y)))) ).
fof(pel69_4, axiom,
    ! [X, Y] : ((t(i(X, Y)) & t(X)) => t(Y)) ).
fof(pel69, conjecture,
    ! [X] : t(i(n(n(X)), X)) ).
%------------------------------------------------------------------------------
