%------------------------------------------------------------------------------
% Problem  : Pelletier 49
% Domain   : Full predicate logic with identity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : In a domain of at most two elements where two distinct elements
%            have P, everything has P.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel49_1, axiom,
    ? [X, Y] : ! [Z] : (Z = X | Z = Y) ).
fof(pel49_2, axiom,
    p(a) & p(b) ).
fof(pel49_3, axiom,
    a != b ).
fof(pel49, conjecture,
    ! [X] : p(X) ).
%------------------------------------------------------------------------------
