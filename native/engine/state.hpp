// The search state of one saturation run: the clause store, the indexes kept
// in step with the active set, the passive queues, the options and limits,
// and the statistics.  Each field says which part of the search it serves.
#pragma once

#include "engine/engine.hpp"

#include <array>
#include <chrono>
#include <deque>
#include <queue>
#include <unordered_map>

namespace kv::engine {

class DTree;

// Fingerprint of a term: what stands at eight fixed positions (the top, its
// first three arguments, and the first two arguments of the first two):
// a symbol, a variable, a position below a variable, or no position.
constexpr int kFP = 8;
constexpr int32_t FP_VAR = -1, FP_BELOW = -2, FP_NONE = -3;
struct FP {
    int32_t v[kFP];
};
FP fingerprint(Term* t);
// False when the two terms certainly do not unify.
bool fp_unifiable(const FP& a, const FP& b);
// False when `pattern` certainly does not match `target`.
bool fp_matchable(const FP& pattern, const FP& target);

// Entries of the top-symbol indexes: a clause, a literal, a side and a subterm.
struct Entry {
    Clause* c;
    uint16_t lit;
    uint8_t side;  // 0: lhs, 1: rhs
    Term* sub;     // the indexed (sub)term
    uint32_t gen;  // the clause's activation generation when filed
    FP fp;         // fingerprint of `sub`
};

// Entries filed under an integer key (a symbol with a role); entries of dead
// clauses are dropped lazily when their list is read.
class TopIndex {
public:
    void insert(int64_t key, const Entry& e) { map_[key].push_back(e); ++size_; }
    // Appends the live entries under `key` to `out`.
    void collect(int64_t key, std::vector<Entry>& out);
    // Calls f(entry) for each live entry under `key` until f returns true;
    // f must not change this index.
    template <class F>
    void each(int64_t key, F&& f) {
        auto it = map_.find(key);
        if (it == map_.end()) return;
        std::vector<Entry>& list = it->second;
        size_t w = 0, r = 0, n = list.size();
        bool stop = false;
        for (; r < n && !stop; ++r) {
            const Entry& en = list[r];
            if (en.c->dead || !en.c->active || en.c->gen != en.gen) continue;
            if (w != r) list[w] = list[r];
            stop = f(list[w++]);
        }
        for (; r < n; ++r) list[w++] = list[r];
        size_ -= n - w;
        list.resize(w);
    }
    // Appends every live entry.
    void collect_all(std::vector<Entry>& out);
    size_t size() const { return size_; }

private:
    std::unordered_map<int64_t, std::vector<Entry>> map_;
    size_t size_ = 0;
};

// Feature-vector index for subsumption: a trie over clause features, each
// feature a count that cannot decrease from a subsuming clause to a subsumed one.
constexpr int kFeatures = 50;
using Features = std::array<uint16_t, kFeatures>;
Features features_of(const Clause& c);

class FVIndex {
public:
    FVIndex();
    ~FVIndex();
    void insert(Clause* c);
    void remove(Clause* c);
    // Clauses whose features are all <= f (candidate subsumers).
    void at_most(const Features& f, std::vector<Clause*>& out) const;
    // Clauses whose features are all >= f (candidates to be subsumed).
    void at_least(const Features& f, std::vector<Clause*>& out) const;

private:
    struct Node;
    // The clauses whose every feature is <= f (AtMost) or >= f.
    template <bool AtMost>
    void collect(const Features& f, std::vector<Clause*>& out) const;
    Node* root_;
};

// Symbol precedence schemes of the term ordering and symbol weight schemes.
enum class Precedence : uint8_t { Arity, InvArity, Frequency, InvFrequency, GoalFirst, GoalLast };
inline constexpr const char* kPrecedenceNames[] = {"arity",         "inv_arity",  "frequency",
                                                   "inv_frequency", "goal_first", "goal_last"};
enum class SymbolWeight : uint8_t { One, Arity, Frequency };
inline constexpr const char* kWeightNames[] = {"one", "arity", "frequency"};

// Clause-selection heuristics of the passive queues.
enum class Heuristic : uint8_t { Age, Weight, GoalWeight, HornWeight, GroundWeight };
inline constexpr const char* kHeuristicNames[] = {"age", "weight", "goal_weight", "horn_weight", "ground_weight"};

struct Options {
    double time_limit = -1;   // seconds, < 0: none
    double deadline = -1;     // seconds of steady clock from the start, < 0: none
    int64_t memory_limit = -1;
    int64_t max_clauses = -1;
    Selection selection = Selection::MaxNegWeight;
    int pick_given_ratio = 5;
    std::vector<int> goal_ids;
    double progress_every = 1.0;
    Precedence precedence = Precedence::Arity;
    SymbolWeight symbol_weight = SymbolWeight::One;
    std::vector<std::pair<Heuristic, int>> queues;  // empty: goal_weight and age in the pick-given ratio
    double goal_factor = 2.0;
    bool sos = false;  // set of support: every inference has a parent descended from a goal clause
    bool demodulation = true, subsumption = true, backward_simplification = true, subsumption_resolution = true;
    uint32_t term_depth_limit = kMaxDepth;
};

enum class Status : uint8_t { Running, Unsatisfiable, Saturated, Timeout, ResourceOut, GaveUp };

struct Stats {
    int64_t given = 0, generated = 0, kept = 0, rewrites = 0, subsumed = 0, backward_subsumed = 0,
            backward_rewritten = 0, cut_literals = 0, tautologies = 0, too_deep = 0, subsumption_given_up = 0,
            duplicates = 0;
};

class Engine {
public:
    std::vector<Symbol> symbols;  // symbol table: index = Term::sym; 0 is the truth constant
    Bank bank;                    // every term of the run
    Ordering ord;                 // KBO over `symbols`
    Options opt;
    Stats stats;
    std::vector<std::unique_ptr<Clause>> store;  // every clause made (proof records), by creation
    int next_id = 0;                              // next step id
    bool complete = true;                         // every setting and every step kept completeness
    Clause* empty = nullptr;                      // the empty clause once derived

    // Active set and its indexes.
    size_t active_count = 0;
    TopIndex subterms;   // non-variable subterms of active literals (superposition into, backward rewriting)
    TopIndex from_sides; // sides of eligible positive equations of active clauses (superposition from)
    TopIndex lits;       // eligible predicate literals of active clauses, by symbol and sign (resolution)
    std::unique_ptr<DTree> demods;    // rewriting sides of active positive unit equations (demodulation)
    std::unique_ptr<DTree> units[4];  // active unit clauses by sign and kind, each equation both ways
                                      // (unit subsumption and unit cutting); see unit_role()
    FVIndex fv;          // active clauses (backward subsumption)
    FVIndex fv_nonunit;  // active clauses of two or more literals (forward subsumption; units go by `units`)

    // Passive set: one queue per heuristic of opt.queues, each holding every
    // passive clause, read round-robin in their ratios (lightest first, then
    // oldest); entries of clauses picked or removed are skipped when read.
    struct ByPriority {
        bool operator()(const std::pair<double, Clause*>& a, const std::pair<double, Clause*>& b) const {
            return a.first > b.first || (a.first == b.first && a.second->id > b.second->id);
        }
    };
    struct Queue {
        Heuristic h;
        int ratio;
        std::priority_queue<std::pair<double, Clause*>, std::vector<std::pair<double, Clause*>>, ByPriority> pq;
    };
    std::vector<Queue> queues;
    int64_t ratio_total = 0;
    size_t passive_count = 0;
    int64_t pick_counter = 0;

    Subst subst;  // scratch substitution for inferences and simplification
    std::vector<Clause*> by_id;  // clause of each step id
    size_t clause_bytes = 0;     // memory held by clause records (estimate)
    std::chrono::steady_clock::time_point start;  // when run() began
    double next_progress = 0;    // seconds after start of the next progress call
    Ref progress;                // the progress callable, or empty

    // Runs the given-clause loop over the input clauses (already made).
    Status run(const std::vector<Clause*>& inputs);
    double elapsed() const;

    // ---- loop.cpp ----
    Clause* make(Rule rule, std::vector<Lit> lits, std::vector<int> parents);
    void activate(Clause* c);
    void deactivate(Clause* c);

    // ---- queues.cpp ----
    void setup_queues();
    void enqueue(Clause* c);
    Clause* pick();
    double priority(Heuristic h, const Clause& c) const;
    size_t memory() const;
    Status check(bool progress_due);
    void report(double now);
    bool file(Clause* c);

    // ---- inferences.cpp: all conclusions between `given` (already active) and the active set ----
    void generate(Clause* given, std::vector<Clause*>& out);

    // ---- simplify.cpp ----
    // Forward simplification; returns the clause to keep (maybe a new record) or nullptr when redundant.
    Clause* simplify(Clause* c);
    bool subsumed(Clause* c);
    bool duplicate(Clause* c);
    void backward_simplify(Clause* given, std::vector<Clause*>& requeue);
    bool subsumes(const Clause& general, const Clause& specific);
};

int64_t key_of(int32_t sym, int role);
inline int unit_role(bool pos, bool eq) { return (pos ? 0 : 1) + (eq ? 2 : 0); }

// Defined in loop.cpp, where the trees are complete types.
void init_trees(Engine& e);

}  // namespace kv::engine
