%------------------------------------------------------------------------------
% Problem  : Pelletier 73
% Domain   : Problems for studying computational complexity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : Pigeonhole principle with four pigeons and three holes.
% Comments : Propositional encoding: p<i>_<j> says pigeon i sits in hole j.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel73_1, axiom,
    p1_1 | p1_2 | p1_3 ).
fof(pel73_2, axiom,
    p2_1 | p2_2 | p2_3 ).
fof(pel73_3, axiom,
    p3_1 | p3_2 | p3_3 ).
fof(pel73_4, axiom,
    p4_1 | p4_2 | p4_3 ).
fof(pel73, conjecture,
    (p1_1 & p2_1) | (p1_1 & p3_1) | (p1_1 & p4_1) | (p2_1 & p3_1) | (p2_1 & p4_1) | (p3_1 & p4_1) | (p1_2 & p2_2) | (p1_2 & p3_2) | (p1_2 & p4_2) | (p2_2 & p3_2) | (p2_2 & p4_2) | (p3_2 & p4_2) | (p1_3 & p2_3) | (p1_3 & p3_3) | (p1_3 & p4_3) | (p2_3 & p3_3) | (p2_3 & p4_3) | (p3_3 & p4_3) ).
%------------------------------------------------------------------------------
