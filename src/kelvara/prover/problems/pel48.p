%------------------------------------------------------------------------------
% Problem  : Pelletier 48
% Domain   : Full predicate logic with identity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel48_1, axiom,
    a = b | c = d ).
fof(pel48_2, axiom,
    a = c | b = d ).
fof(pel48, conjecture,
    a = d | b = c ).
%------------------------------------------------------------------------------
