%------------------------------------------------------------------------------
% Problem  : Pelletier 47
% Domain   : Full predicate logic
% Source   : Pelletier (1986), Seventy-five problems for testing automatic
%            theorem provers, Journal of Automated Reasoning 2, 191-216
% English  : Schubert's steamroller: there is an animal that likes to eat a
%            grain-eating animal.
% Status   : Theorem
%------------------------------------------------------------------------------
fof(pel47_1, axiom,
    ! [X] : (wolf(X) => animal(X)) ).
fof(pel47_2, axiom,
    ? [X] : wolf(X) ).
fof(pel47_3, axiom,
    ! [X] : (fox(X) => animal(X)) ).
fof(pel47_4, axiom,
    ? [X] : fox(X) ).
fof(pel47_5, axiom,
    ! [X] : (bird(X) => animal(X)) ).
fof(pel47_6, axiom,
    ? [X] : bird(X) ).
fof(pel47_7, axiom,
    ! [X] : (caterpillar(X) => animal(X)) ).
fof(pel47_8, axiom,
    ? [X] : caterpillar(X) ).
fof(pel47_9, axiom,
    ! [X] : (snail(X) => animal(X)) ).
fof(pel47_10, axiom,
    ? [X] : snail(X) ).
fof(pel47_11, axiom,
    ! [X] : (grain(X) => plant(X)) ).
fof(pel47_12, axiom,
    ? [X] : grain(X) ).
fof(pel47_13, axiom,
    ! [X] : (animal(X) => ((! [Y] : (plant(Y) => eats(X, Y))) | ! [Y] : ((animal(Y) & much_smaller(Y, X) & ? [Z] : (plant(Z) & eats(Y, Z))) => eats(X, Y)))) ).
fof(pel47_14, axiom,
    ! [X, Y] : ((caterpillar(X) & bird(Y)) => much_smaller(X, Y)) ).
fof(pel47_15, axiom,
    ! [X, Y] : ((snail(X) & bird(Y)) => much_smaller(X, Y)) ).
fof(pel47_16, axiom,
    ! [X, Y] : ((bird(X) & fox(Y)) => much_smaller(X, Y)) ).
fof(pel47_17, axiom,
    ! [X, Y] : ((fox(X) & wolf(Y)) => much_smaller(X, Y)) ).
fof(pel47_18, axiom,
    ! [X, Y] : ((wolf(X) & fox(Y)) => ~ eats(X, Y)) ).
fof(pel47_19, axiom,
    ! [X, Y] : ((wolf(X) & grain(Y)) => ~ eats(X, Y)) ).
fof(pel47_20, axiom,
    ! [X, Y] : ((bird(X) & caterpillar(Y)) => eats(X, Y)) ).
fof(pel47_21, axiom,
    ! [X, Y] : ((bird(X) & snail(Y)) => ~ eats(X, Y)) ).
fof(pel47_22, axiom,
    ! [X] : (caterpillar(X) => ? [Y] : (plant(Y) & eats(X, Y))) ).
fof(pel47_23, axiom,
    ! [X] : (snail(X) => ? [Y] : (plant(Y) & eats(X, Y))) ).
fof(pel47, conjecture,
    ? [X, Y] : (animal(X) & animal(Y) & eats(X, Y) & ! [Z] : (grain(Z) => eats(Y, Z))) ).
%------------------------------------------------------------------------------
