// Shared declarations of the saturation engine (kelvara.prover._engine): the
// per-run term bank, literals and clauses, substitutions, the term ordering,
// and the entry points of the files that implement each concern.
//
// Memory layout.  Every term of a run lives in one Bank: a Term is a symbol
// (>= 0, an index into the run's symbol table) or a variable (sym < 0, the
// variable number is -sym - 1) followed by its argument pointers, allocated
// contiguously in the bank's arena.  Terms are perfectly shared (hash-consed),
// so two terms are equal exactly when their pointers are.  Each term caches its
// KBO weight, depth, the largest variable number occurring in it and its hash.
// Nothing in the bank holds a Python reference; the symbol table holds the
// names.  The whole run state is freed when saturate() returns.
#pragma once

#include "common/ref.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kv::engine {

// Terms deeper than this are never built: an inference whose conclusion would
// exceed it is dropped (and the run is no longer complete).  Every recursive
// walk over bank terms is therefore bounded by this depth.  A run may set a
// lower bound of its own (Bank::set_limit), never a higher one.
constexpr uint32_t kMaxDepth = 600;

// Thrown by term construction beyond kMaxDepth; caught per inference.
struct TooDeep {};

struct Term {
    int32_t sym;      // symbol index, or -(variable number) - 1
    uint32_t arity;   // number of arguments
    uint32_t weight;  // KBO weight: the symbol weights plus one per variable occurrence
    uint32_t depth;   // 1 for constants and variables
    int32_t maxvar;   // largest variable number occurring, -1 when ground
    uint32_t hash;    // structural hash (symbols and argument identities)
    uint32_t id;      // creation number within the bank
    Term* args[1];    // `arity` argument pointers (allocated to size)

    bool is_var() const { return sym < 0; }
    int var() const { return -sym - 1; }
    bool ground() const { return maxvar < 0; }
};

// Per-symbol data: name and arity as read from the input, and the ordering data.
struct Symbol {
    Ref name;          // the name object (str) given back on output
    std::string text;  // its UTF-8 text (table key)
    uint32_t arity = 0;
    bool predicate = false;  // a predicate symbol (atoms), else a function symbol
    bool constant = false;   // read from a Constant node (arity 0)
    bool goal = false;       // occurs in a goal clause
    uint32_t count = 0;      // occurrences in the input (for the precedence)
    int32_t prec = 0;        // precedence rank: larger is bigger
    uint32_t kbo_weight = 1; // KBO weight (>= 1, the weight of a variable)
};

class Bank {
public:
    Bank();
    ~Bank();
    Bank(const Bank&) = delete;
    Bank& operator=(const Bank&) = delete;

    Term* var(int n);
    // The shared term sym(args...).  Throws TooDeep beyond the depth limit.
    Term* app(int32_t sym, Term* const* args, uint32_t arity);
    // Lowers the depth limit (clamped to 1..kMaxDepth).
    void set_limit(uint32_t depth);
    uint32_t limit() const { return limit_; }
    // Sets the symbol weights (index = symbol, missing ones weigh 1) and
    // recomputes the weight of every term made so far.
    void set_weights(std::vector<uint32_t> weights);
    // Deepest term made so far.
    uint32_t max_depth() const { return max_depth_; }
    Term* truth() const { return truth_; }  // the right side of predicate literals
    size_t bytes() const { return bytes_; }
    size_t size() const { return count_; }

private:
    void* alloc(size_t n);
    void grow();
    std::vector<char*> blocks_;
    char* cur_ = nullptr;
    size_t left_ = 0;
    std::vector<Term*> vars_;
    std::vector<Term*> table_;  // open addressing, power-of-two size
    size_t count_ = 0;  // terms made (ids)
    size_t used_ = 0;   // entries of table_
    size_t bytes_ = 0;
    Term* truth_ = nullptr;
    uint32_t limit_ = kMaxDepth;
    uint32_t max_depth_ = 0;
    std::vector<uint32_t> weights_;  // symbol weights; empty: every symbol weighs 1
};

// Symbol 0 is the truth constant that stands right of predicate atoms.
constexpr int32_t kTruthSym = 0;

// A literal.  Equations keep the orientation they were read or built with (it
// is part of the literal's identity, as in the clause records); a predicate
// atom P(...) is stored as the equation P(...) = truth with `eq` false.
struct Lit {
    Term* lhs;
    Term* rhs;
    bool pos;
    bool eq;
    bool operator==(const Lit& o) const { return lhs == o.lhs && rhs == o.rhs && pos == o.pos && eq == o.eq; }
};

enum class Rule : uint8_t {
    Input,
    Resolution,
    Factoring,
    Superposition,
    EqualityResolution,
    EqualityFactoring,
    Demodulation,
    SubsumptionResolution,
    Simplify,
};

struct Rewrite {
    int eq_id;   // step id of the unit equation
    Term* old_;  // the instance replaced (every occurrence)
    Term* new_;  // what it became
};

// A clause and the step that made it.  Variables are numbered 0..nvars-1 in
// order of first occurrence.
struct Clause {
    int id = 0;  // step id
    std::vector<Lit> lits;
    uint32_t nvars = 0;
    Rule rule = Rule::Input;
    std::vector<int> parents;  // step ids
    int info[4] = {-1, -1, -1, -1};  // rule-specific: literal indices (this engine's order of the first parent), sides
    std::vector<Rewrite> rewrites;   // Demodulation
    bool active = false;             // in the active set (indexed)
    bool dead = false;               // removed (simplified away); never selected or retrieved
    bool queued = false;             // in the passive queues
    bool goal = false;               // descends from a goal clause
    std::vector<uint8_t> eligible;   // per literal: eligible for inferences (kept clauses)
    std::vector<uint8_t> orient;     // per literal: Cmp of lhs against rhs (kept clauses)
    uint32_t gen = 0;                // activation generation: index entries of older ones are stale
    int selected = -1;               // first selected negative literal, or -1 (all selected ones are eligible)
    uint32_t weight() const;         // symbol-counting weight (sum of literal term weights)
    bool unit_eq() const { return lits.size() == 1 && lits[0].pos && lits[0].eq; }
};

// A substitution over variable numbers, with a trail for undoing bindings.
class Subst {
public:
    Term* get(int v) const { return v < (int)bind_.size() ? bind_[v] : nullptr; }
    void set(int v, Term* t) {
        if (v >= (int)bind_.size()) bind_.resize(v + 1, nullptr);
        bind_[v] = t;
        trail_.push_back(v);
    }
    size_t mark() const { return trail_.size(); }
    void undo(size_t m) {
        while (trail_.size() > m) {
            bind_[trail_.back()] = nullptr;
            trail_.pop_back();
        }
    }
    void clear() { undo(0); }
    Term* deref(Term* t) const {
        while (t->is_var()) {
            Term* b = get(t->var());
            if (!b) return t;
            t = b;
        }
        return t;
    }

    // Scratch stacks of unify, match and the occurs check (reused, never nested).
    std::vector<std::pair<Term*, Term*>> work;
    std::vector<Term*> work1;

private:
    std::vector<Term*> bind_;
    std::vector<int> trail_;
};

// ---- terms.cpp ----
bool unify(Subst& s, Term* a, Term* b);
// One-way matching: binds variables of `pattern` only; `target` is read as is.
bool match(Subst& s, Term* pattern, Term* target);
// The term with the substitution applied (fully dereferenced).
Term* instantiate(Bank& bank, const Subst& s, Term* t);
// The term with the bindings of a match applied: bound variables replaced by
// their (target) terms as they are, without looking into them.
Term* apply_match(Bank& bank, const Subst& s, Term* t);
// The term with every variable v renamed to v + offset.
Term* shift(Bank& bank, Term* t, int offset);
// `t` with the subterm at `path` (argument indices from the top) replaced by `r`.
Term* replace_at(Bank& bank, Term* t, const uint32_t* path, size_t len, Term* r);
// `t` with every occurrence of `old` replaced by `r` (outermost occurrences; no descent into a replaced one).
Term* replace_all(Bank& bank, Term* t, Term* old, Term* r);
bool occurs(Term* sub, Term* t);

// ---- kbo.cpp ----
enum Cmp : uint8_t { C_EQ, C_GT, C_LT, C_INC };
struct Ordering {
    const std::vector<Symbol>* symbols = nullptr;
    bool greater(Term* s, Term* t);  // s > t in the KBO
    Cmp compare(Term* s, Term* t);
    Cmp compare_lits(const Lit& a, const Lit& b);

private:
    bool vars_ok(Term* s, Term* t);
    bool gt(Term* s, Term* t);
    std::vector<int> counts_;
};

// ---- clauses.cpp ----
// Literal selection functions.  Each selects a set of negative literals (or
// none), which keeps the calculus complete.
enum class Selection : uint8_t { None, MaxNegWeight, MinNegWeight, GroundFirst, AllNeg, MaxNegAvoidPos, FirstNeg };
inline constexpr const char* kSelectionNames[] = {"none",    "max_neg_weight",    "min_neg_weight", "ground_first",
                                                  "all_neg", "max_neg_avoid_pos", "first_neg"};
bool parse_selection(const char* name, Selection& out);
// Builds a clause from literals in a scratch space: drops duplicates, renames
// variables to 0..n-1 in order of first occurrence.
void normalize(Bank& bank, Clause& c);
bool is_tautology(const Clause& c);
// Computes the selected literal and the eligible literals.
void compute_eligibility(Ordering& ord, Selection sel, Clause& c);

}  // namespace kv::engine
