%------------------------------------------------------------------------------
% Problem  : Pelletier 6
% Domain   : Propositional logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : The law of excluded middle.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel6, conjecture,
    p | ~ p ).
%------------------------------------------------------------------------------
