// The switch from one simulated thread's stack to another's. The cooperative
// hour makes half a million of them, so on x86-64 it is eight moves of the
// callee-saved registers and a return: no floating-point control words (the
// simulation never changes them) and a `ret`, not an indirect jump, so the
// processor's return predictor stays in step with the thread it resumes
// (threads that blocked in the same call chain return through the same
// addresses). Elsewhere (the ARM build of the tests) boost.context does it.
#pragma once

#include <cstddef>

namespace sim::fibre {

using Context = void*;  // a stopped stack: where its saved registers are

// What the resumed side receives: the stack that was left, and the data given.
struct Transfer {
    Context from;
    void* data;
};
using Entry = void (*)(Transfer);

// A fresh stack below `top` (`size` bytes) that starts `entry` on its first jump.
Context make(void* top, std::size_t size, Entry entry);
// Stops the running stack and resumes `to`; returns when something jumps back.
Transfer jump(Context to, void* data);

}  // namespace sim::fibre

#if defined(__x86_64__) && defined(__ELF__) && !defined(CORVANE_BOOST_FIBRES)
extern "C" sim::fibre::Transfer corvane_fibre_jump(void* to, void* data) __attribute__((visibility("hidden")));
inline sim::fibre::Transfer sim::fibre::jump(Context to, void* data)
{
    return corvane_fibre_jump(to, data);
}
#endif
