%------------------------------------------------------------------------------
% Problem  : Pelletier 1
% Domain   : Propositional logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : The law of contraposition.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel1, conjecture,
    (p => q) <=> (~ q => ~ p) ).
%------------------------------------------------------------------------------
