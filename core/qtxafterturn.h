#pragma once

// Work a thread may put off until it has finished what it is doing now. An I/O
// thread opens a scope around answering one request: a job started while the
// request is served wakes its thread only once the reply is written, so that
// the woken thread cannot take the core from the reply first. Without an open
// scope, deferred work runs at once. Only short, non-blocking work belongs
// here (waking a thread); it runs on the deferring thread, outside any lock
// its caller held when deferring it.

#include <functional>

class QtxAfterTurn
{
public:
    QtxAfterTurn();
    ~QtxAfterTurn(); // the outermost scope runs what was deferred, in order
    QtxAfterTurn(const QtxAfterTurn &) = delete;
    QtxAfterTurn &operator=(const QtxAfterTurn &) = delete;

    static void Defer(std::function<void()> v_oWork);
};
