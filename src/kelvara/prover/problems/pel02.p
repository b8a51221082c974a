%------------------------------------------------------------------------------
% Problem  : Pelletier 2
% Domain   : Propositional logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : Double negation.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel2, conjecture,
    ~ ~ p <=> p ).
%------------------------------------------------------------------------------
