%------------------------------------------------------------------------------
% Problem  : Pelletier 11
% Domain   : Propositional logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : A trivial biconditional, to see whether a prover proves each
%            direction separately.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel11, conjecture,
    p <=> p ).
%------------------------------------------------------------------------------
