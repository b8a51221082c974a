%------------------------------------------------------------------------------
% Problem  : Pelletier 70
% Domain   : Problems for studying computational complexity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : An equivalence formula of Urquhart's family with two atoms: every
%            atom occurs twice in a chain of biconditionals.
% Comments : Member n = 2 of the family of equivalence formulas.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel70, conjecture,
    p1 <=> (p2 <=> (p1 <=> p2)) ).
%------------------------------------------------------------------------------
