%------------------------------------------------------------------------------
% Problem  : Pelletier 14
% Domain   : Propositional logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel14, conjecture,
    (p <=> q) <=> ((q | ~ p) & (~ q | p)) ).
%------------------------------------------------------------------------------
