%------------------------------------------------------------------------------
% Problem  : Pelletier 71
% Domain   : Problems for studying computational complexity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : The equivalence formula of Urquhart's family with three atoms.
% Comments : Member n = 3 of the family.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel71, conjecture,
    p1 <=> (p2 <=> (p3 <=> (p1 <=> (p2 <=> p3)))) ).
%------------------------------------------------------------------------------
