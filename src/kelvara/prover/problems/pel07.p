%------------------------------------------------------------------------------
% Problem  : Pelletier 7
% Domain   : Propositional logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : Excluded middle with a triple negation.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel7, conjecture,
    p | ~ ~ ~ p ).
%------------------------------------------------------------------------------
