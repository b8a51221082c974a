%------------------------------------------------------------------------------
% Problem  : Pelletier 74
% Domain   : Problems for studying computational complexity
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : The pigeonhole principle with identity: when every object sits in
%            one of two holes, two of three distinct pigeons share a hole.
% Comments : A first-order version of the pigeonhole problems, with equality.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel74_1, axiom,
    pigeon(p1) ).
fof(pel74_2, axiom,
    pigeon(p2) ).
fof(pel74_3, axiom,
    pigeon(p3) ).
fof(pel74_4, axiom,
    p1 != p2 ).
fof(pel74_5, axiom,
    p1 != p3 ).
fof(pel74_6, axiom,
    p2 != p3 ).
fof(pel74_7, axiom,
    ! [X] : (hole_of(X) = h1 | hole_of(X) = h2) ).
fof(pel74, conjecture,
    ? [X, Y] : (X != Y & hole_of(X) = hole_of(Y)) ).
%------------------------------------------------------------------------------
