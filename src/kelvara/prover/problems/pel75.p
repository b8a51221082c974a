%------------------------------------------------------------------------------
% Problem  : Pelletier 75
% Domain   : Problems for studying computational complexity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : Pigeonhole principle with five pigeons and four holes.
% Comments : Propositional encoding: p<i>_<j> says pigeon i sits in hole j.
%            Resolution refutations of this family grow exponentially with its
%            size.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel75_1, axiom,
    p1_1 | p1_2 | p1_3 | p1_4 ).
fof(pel75_2, axiom,
    p2_1 | p2_2 | p2_3 | p2_4 ).
fof(pel75_3, axiom,
    p3_1 | p3_2 | p3_3 | p3_4 ).
fof(pel75_4, axiom,
    p4_1 | p4_2 | p4_3 | p4_4 ).
fof(pel75_5, axiom,
    p5_1 | p5_2 | p5_3 | p5_4 ).
fof(pel75, conjecture,
    (p1_1 & p2_1) | (p1_1 & p3_1) | (p1_1 & p4_1) | (p1_1 & p5_1) | (p2_1 & p3_1) | (p2_1 & p4_1) | (p2_1 & p5_1) | (p3_1 & p4_1) | (p3_1 & p5_1) | (p4_1 & p5_1) | (p1_2 & p2_2) | (p1_2 & p3_2) | (p1_2 & p4_2) | (p1_2 & p5_2) | (p2_2 & p3_2) | (p2_2 & p4_2) | (p2_2 & p5_2) | (p3_2 & p4_2) | (p3_2 & p5_2) | (p4_2 & p5_2) | (p1_3 & p2_3) | (p1_3 & p3_3) | (p1_3 & p4_3) | (p1_3 & p5_3) | (p2_3 & p3_3) | (p2_3 & p4_3) | (p2_3 & p5_3) | (p3_3 & p4_3) | (p3_3 & p5_3) | (p4_3 & p5_3) | (p1_4 & p2_4) | (p1_4 & p3_4) | (p1_4 & p4_4) | (p1_4 & p5_4) | (p2_4 & p3_4) | (p2_4 & p4_4) | (p2_4 & p5_4) | (p3_4 & p4_4) | (p3_4 & p5_4) | (p4_4 & p5_4) ).
%------------------------------------------------------------------------------
