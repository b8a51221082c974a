%------------------------------------------------------------------------------
% Problem  : Pelletier 62
% Domain   : Full predicate logic with identity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% Comments : The statement in the form corrected after the published errata.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel62, conjecture,
    (! [X] : ((p(a) & (p(X) => p(f(X)))) => p(f(f(X))))) <=> ! [X] : ((~ p(a) | p(X) | p(f(f(X)))) & (~ p(a) | ~ p(f(X)) | p(f(f(X))))) ).
%------------------------------------------------------------------------------
