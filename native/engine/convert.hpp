// Conversion between kelvara nodes and the engine's terms: input clauses read
// into the bank (with the symbol table and the precedence), and proof steps
// given back as clause records built from kelvara nodes.
#pragma once

#include "common/nodes.hpp"
#include "engine/state.hpp"

#include <string>
#include <unordered_map>

namespace kv::engine {

struct ModuleState {
    AstApi api;
    PyTypeObject* result_type = nullptr;  // EngineResult (a struct sequence)
    PyObject* s_literals = nullptr;       // interned attribute names
    PyObject* s_atom = nullptr;
    PyObject* s_positive = nullptr;
};

class Converter {
public:
    Converter(const ModuleState& ms, Engine& e) : ms_(ms), api_(ms.api), e_(e) {}

    // Reads one input clause (an object with `literals`, each with `atom` and
    // `positive`) as step `id`.  Raises TypeError/ValueError for what the
    // engine cannot represent.
    Clause* read_clause(PyObject* clause, int id);
    // Marks the symbols of a clause as goal symbols.
    void mark_goal(const Clause& c);
    // Sets the precedence from the symbol counts.
    void finish_signature();

    // The proof of the empty clause as a list of step tuples.
    Ref proof_steps(const std::vector<PyObject*>& inputs);

private:
    int symbol(PyObject* name, uint32_t arity, bool predicate, bool constant);
    Term* read_term(PyObject* t, std::unordered_map<long long, int>& vars);
    Ref node_of(Term* t);
    Ref literal_of(const Lit& l);
    Ref clause_of(const Clause& c);
    Ref step_of(Clause* c, std::unordered_map<int, Ref>& made);
    Py_ssize_t index_in(PyObject* clause, const Lit& l);

    const ModuleState& ms_;
    const AstApi& api_;
    Engine& e_;
    std::unordered_map<std::string, int> index_;  // symbol key -> symbol number
    std::unordered_map<Term*, Ref> nodes_;         // output nodes made so far
    Ref literal_cls_, clause_cls_;
};

}  // namespace kv::engine
