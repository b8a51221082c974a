%------------------------------------------------------------------------------
% Problem  : Pelletier 3
% Domain   : Propositional logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : The hardest theorem proved by a breadth-first logic theorist.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel3, conjecture,
    ~ (p => q) => (q => p) ).
%------------------------------------------------------------------------------
