%------------------------------------------------------------------------------
% Problem  : Pelletier 39
% Domain   : Full predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : Russell's paradox: there is no set of all sets that are not
%            members of themselves.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel39, conjecture,
    ~ ? [X] : ! [Y] : (f(Y, X) <=> ~ f(Y, Y)) ).
%------------------------------------------------------------------------------
