%------------------------------------------------------------------------------
% Problem  : Pelletier 17
% Domain   : Propositional logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel17, conjecture,
    ((p & (q => r)) => s) <=> ((~ p | q | s) & (~ p | ~ r | s)) ).
%------------------------------------------------------------------------------
