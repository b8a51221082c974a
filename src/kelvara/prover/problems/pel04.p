%------------------------------------------------------------------------------
% Problem  : Pelletier 4
% Domain   : Propositional logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : The hardest theorem proved by the logic theorist of Newell and
%            Simon.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel4, conjecture,
    (~ p => q) <=> (~ q => p) ).
%------------------------------------------------------------------------------
