%------------------------------------------------------------------------------
% Problem  : Pelletier 9
% Domain   : Propositional logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel9, conjecture,
    ((p | q) & (~ p | q) & (p | ~ q)) => ~ (~ p | ~ q) ).
%------------------------------------------------------------------------------
