#pragma once

#include <utility>

// Runs its clean-up when the scope ends, however it ends: the finally-part of a handler, which must run before
// the error that ended the handler is shown.
template <class F>
class Finally {
public:
    explicit Finally(F f) : f_(std::move(f)) {}
    ~Finally() { f_(); }
    Finally(const Finally&) = delete;
    Finally& operator=(const Finally&) = delete;

private:
    F f_;
};
