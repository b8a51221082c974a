%------------------------------------------------------------------------------
% Problem  : Pelletier 13
% Domain   : Propositional logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : Distribution of disjunction over conjunction.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel13, conjecture,
    (p | (q & r)) <=> ((p | q) & (p | r)) ).
%------------------------------------------------------------------------------
