#include "qtxafterturn.h"

#include <utility>
#include <vector>

namespace {

struct Deferred
{
    int depth = 0;
    std::vector<std::function<void()>> work;
};

thread_local Deferred t_deferred;

} // namespace

QtxAfterTurn::QtxAfterTurn()
{
    ++t_deferred.depth;
}

QtxAfterTurn::~QtxAfterTurn()
{
    if (--t_deferred.depth > 0)
        return;
    // Work deferred while this runs (none is expected) runs at once: the depth is 0.
    std::vector<std::function<void()>> oWork;
    oWork.swap(t_deferred.work);
    for (auto &oItem : oWork)
        oItem();
    // The list keeps its room for the next turn.
    oWork.clear();
    if (t_deferred.work.empty())
        t_deferred.work.swap(oWork);
}

void QtxAfterTurn::Defer(std::function<void()> v_oWork)
{
    if (t_deferred.depth == 0) {
        v_oWork();
        return;
    }
    t_deferred.work.push_back(std::move(v_oWork));
}
