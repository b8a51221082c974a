%------------------------------------------------------------------------------
% Problem  : Pelletier 34
% Domain   : Monadic predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : Andrews's challenge.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel34, conjecture,
    ((? [X] : ! [Y] : (p(X) <=> p(Y))) <=> ((? [X] : q(X)) <=> ! [Y] : q(Y))) <=> ((? [X] : ! [Y] : (q(X) <=> q(Y))) <=> ((? [X] : p(X)) <=> ! [Y] : p(Y))) ).
%------------------------------------------------------------------------------
