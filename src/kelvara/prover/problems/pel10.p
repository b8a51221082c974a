%------------------------------------------------------------------------------
% Problem  : Pelletier 10
% Domain   : Propositional logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel10_1, axiom,
    q => r ).
fof(pel10_2, axiom,
    r => (p & q) ).
fof(pel10_3, axiom,
    p => (q | r) ).
fof(pel10, conjecture,
    p <=> q ).
%------------------------------------------------------------------------------
