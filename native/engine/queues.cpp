// The passive set: one priority queue per clause-selection heuristic, read
// round-robin in the ratios of the run's options, and the heuristics that
// weigh a clause for each queue.
#include "engine/state.hpp"

namespace kv::engine {

// Symbol counting with goal symbols cheaper: 1 per variable and per goal
// symbol, `factor` per other symbol.
static double goal_cost(const std::vector<Symbol>& syms, Term* t, double factor) {
    if (t->is_var()) return 1;
    if (t->sym == kTruthSym) return 0;
    double w = syms[t->sym].goal ? 1 : factor;
    for (uint32_t i = 0; i < t->arity; ++i) w += goal_cost(syms, t->args[i], factor);
    return w;
}

static bool is_horn(const Clause& c) {
    int pos = 0;
    for (const Lit& l : c.lits) pos += l.pos;
    return pos <= 1;
}

static bool is_ground(const Clause& c) {
    for (const Lit& l : c.lits)
        if (!l.lhs->ground() || !l.rhs->ground()) return false;
    return true;
}

// Added to the weight of the clauses a queue puts last (Horn first, ground first).
static constexpr double kLater = 1e12;

double Engine::priority(Heuristic h, const Clause& c) const {
    switch (h) {
        case Heuristic::Age: return static_cast<double>(c.id);
        case Heuristic::Weight: return c.weight();
        case Heuristic::HornWeight: return c.weight() + (is_horn(c) ? 0 : kLater);
        case Heuristic::GroundWeight: return c.weight() + (is_ground(c) ? 0 : kLater);
        case Heuristic::GoalWeight: {
            // Clauses that do not descend from the goal weigh (1 + (factor - 1) / 2) times as much.
            double w = 0, f = opt.goal_factor;
            for (const Lit& l : c.lits) w += goal_cost(symbols, l.lhs, f) + goal_cost(symbols, l.rhs, f);
            if (!opt.goal_ids.empty() && !c.goal) w *= 1 + (f - 1) / 2;
            return w;
        }
    }
    return 0;
}

void Engine::setup_queues() {
    std::vector<std::pair<Heuristic, int>> spec = opt.queues;
    if (spec.empty()) {
        if (opt.pick_given_ratio > 0) spec.emplace_back(Heuristic::GoalWeight, opt.pick_given_ratio);
        spec.emplace_back(Heuristic::Age, 1);
    }
    queues.clear();
    ratio_total = 0;
    for (auto [h, r] : spec) {
        queues.push_back(Queue{h, r, {}});
        ratio_total += r;
    }
}

void Engine::enqueue(Clause* c) {
    c->queued = true;
    ++passive_count;
    for (Queue& q : queues) q.pq.emplace(priority(q.h, *c), c);
}

Clause* Engine::pick() {
    int64_t pos = pick_counter++ % ratio_total;
    size_t first = 0;
    while (pos >= queues[first].ratio) pos -= queues[first++].ratio;
    for (size_t k = 0; k < queues.size(); ++k) {
        Queue& q = queues[(first + k) % queues.size()];
        while (!q.pq.empty()) {
            Clause* c = q.pq.top().second;
            q.pq.pop();
            if (c->queued && !c->dead) {
                c->queued = false;
                --passive_count;
                return c;
            }
        }
    }
    return nullptr;
}

}  // namespace kv::engine
