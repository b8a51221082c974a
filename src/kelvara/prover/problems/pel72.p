%------------------------------------------------------------------------------
% Problem  : Pelletier 72
% Domain   : Problems for studying computational complexity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : Pigeonhole principle: three pigeons in two holes leave two pigeons
%            sharing a hole.
% Comments : Propositional encoding: p<i>_<j> says pigeon i sits in hole j.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel72_1, axiom,
    p1_1 | p1_2 ).
fof(pel72_2, axiom,
    p2_1 | p2_2 ).
fof(pel72_3, axiom,
    p3_1 | p3_2 ).
fof(pel72, conjecture,
    (p1_1 & p2_1) | (p1_1 & p3_1) | (p2_1 & p3_1) | (p1_2 & p2_2) | (p1_2 & p3_2) | (p2_2 & p3_2) ).
%------------------------------------------------------------------------------
