#include "ConditionGrammar.h"
#include "ConditionGrammarRules.h"

#include <atomic>
#include <memory>

namespace {

using namespace condition_grammar;
using ConditionGrammar = ConditionGrammarT<const wchar_t*>;

// Building the rules is far costlier than a parse: once per process, on first
// use, by whichever thread gets there first. The pointer is constant-initialised
// and the grammar is released only after every other object of the module is
// gone, so a record logged from another object's destructor still finds it.
std::atomic<const ConditionGrammar*> sharedGrammar{nullptr};

struct GrammarRelease {
    ~GrammarRelease() { delete sharedGrammar.exchange(nullptr); }
};
GrammarRelease grammarRelease __attribute__((init_priority(101)));

const ConditionGrammar& conditionGrammar()
{
    const ConditionGrammar* grammar = sharedGrammar.load(std::memory_order_acquire);
    if (grammar)
        return *grammar;
    std::unique_ptr<const ConditionGrammar> built(new ConditionGrammar);
    const ConditionGrammar* expected = nullptr;
    if (sharedGrammar.compare_exchange_strong(expected, built.get(), std::memory_order_acq_rel))
        return *built.release();
    return *expected;  // another thread's grammar won; ours is dropped
}

}  // namespace

bool evaluateConditionText(const wchar_t* expression, LookupableW* properties)
{
    if (!expression)
        return true;
    const wchar_t* first = expression;
    const wchar_t* const last = expression + std::wcslen(expression);
    if (!nestingWithinLimit(first, last))
        return false;
    bool value = false;
    const bool parsed = qi::phrase_parse(first, last, conditionGrammar()(properties),
                                         boost::spirit::ascii::space, value);
    return parsed && first == last && value;
}
