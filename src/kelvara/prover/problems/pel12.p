%------------------------------------------------------------------------------
% Problem  : Pelletier 12
% Domain   : Propositional logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : The associativity of the biconditional.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel12, conjecture,
    ((p <=> q) <=> r) <=> (p <=> (q <=> r)) ).
%------------------------------------------------------------------------------
