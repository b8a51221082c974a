%------------------------------------------------------------------------------
% Problem  : Pelletier 55: who killed Aunt Agatha?
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, problem 55
% English  : Someone who lives in Dreadbury Mansion killed Aunt Agatha.
%            Agatha, the butler, and Charles live in Dreadbury Mansion, and
%            are the only people who live therein. A killer always hates
%            his victim, and is never richer than his victim. Charles hates
%            no one that Aunt Agatha hates. Agatha hates everyone except the
%            butler. The butler hates everyone not richer than Aunt Agatha.
%            The butler hates everyone Aunt Agatha hates. No one hates
%            everyone. Agatha is not the butler. Therefore: Agatha killed
%            herself.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(someone_killed_agatha, axiom,
    ? [X] : ( lives(X) & killed(X, agatha) ) ).
fof(agatha_lives, axiom, lives(agatha) ).
fof(butler_lives, axiom, lives(butler) ).
fof(charles_lives, axiom, lives(charles) ).
fof(only_these_live, axiom,
    ! [X] : ( lives(X) => ( X = agatha | X = butler | X = charles ) ) ).
fof(killer_hates_victim, axiom,
    ! [X,Y] : ( killed(X, Y) => hates(X, Y) ) ).
fof(killer_not_richer, axiom,
    ! [X,Y] : ( killed(X, Y) => ~ richer(X, Y) ) ).
fof(charles_hates_none_agatha_hates, axiom,
    ! [X] : ( hates(agatha, X) => ~ hates(charles, X) ) ).
fof(agatha_hates_all_but_butler, axiom,
    ! [X] : ( X != butler => hates(agatha, X) ) ).
fof(butler_hates_poor, axiom,
    ! [X] : ( ~ richer(X, agatha) => hates(butler, X) ) ).
fof(butler_hates_whom_agatha_hates, axiom,
    ! [X] : ( hates(agatha, X) => hates(butler, X) ) ).
fof(no_one_hates_all, axiom,
    ! [X] : ? [Y] : ~ hates(X, Y) ).
fof(agatha_not_butler, axiom, agatha != butler ).
fof(agatha_killed_herself, conjecture, killed(agatha, agatha) ).
%------------------------------------------------------------------------------
