%------------------------------------------------------------------------------
% Problem  : Pelletier 8
% Domain   : Propositional logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : Peirce's law.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel8, conjecture,
    ((p => q) => p) => p ).
%------------------------------------------------------------------------------
