#include "sim/kernel/FibreSwitch.h"

#include <cstdint>

#if defined(__x86_64__) && defined(__ELF__) && !defined(CORVANE_BOOST_FIBRES)

// A stopped stack holds, from its saved stack pointer up: r12, r13, r14, r15,
// rbx, rbp and the address to return to. A fresh one returns into
// corvane_fibre_start with the entry in r12.
asm(R"(
    .text
    .p2align 4
    .globl corvane_fibre_jump
    .hidden corvane_fibre_jump
    .type corvane_fibre_jump, @function
corvane_fibre_jump:
    pushq %rbp
    pushq %rbx
    pushq %r15
    pushq %r14
    pushq %r13
    pushq %r12
    movq %rsp, %rax
    movq %rdi, %rsp
    popq %r12
    popq %r13
    popq %r14
    popq %r15
    popq %rbx
    popq %rbp
    movq %rsi, %rdx
    ret
    .size corvane_fibre_jump, .-corvane_fibre_jump

    .p2align 4
    .type corvane_fibre_start, @function
corvane_fibre_start:
    movq %rax, %rdi
    movq %rdx, %rsi
    andq $-16, %rsp
    callq *%r12
    ud2
    .size corvane_fibre_start, .-corvane_fibre_start
)");

extern "C" void corvane_fibre_start() __attribute__((visibility("hidden")));

namespace sim::fibre {

Context make(void* top, std::size_t, Entry entry)
{
    auto sp = (reinterpret_cast<std::uintptr_t>(top) & ~std::uintptr_t{15}) - 64;
    auto* slots = reinterpret_cast<std::uintptr_t*>(sp);
    slots[0] = reinterpret_cast<std::uintptr_t>(entry);  // r12
    for (int i = 1; i < 6; ++i) slots[i] = 0;            // r13, r14, r15, rbx, rbp
    slots[6] = reinterpret_cast<std::uintptr_t>(&corvane_fibre_start);
    slots[7] = 0;
    return reinterpret_cast<Context>(sp);
}

}  // namespace sim::fibre

#else

#include <boost/context/detail/fcontext.hpp>

namespace ctx = boost::context::detail;

namespace sim::fibre {

namespace {
Entry gFirstEntry = nullptr;  // every stack starts the same entry
void start(ctx::transfer_t transfer)
{
    gFirstEntry(Transfer{transfer.fctx, transfer.data});
}
}  // namespace

Context make(void* top, std::size_t size, Entry entry)
{
    gFirstEntry = entry;
    return ctx::make_fcontext(top, size, start);
}

Transfer jump(Context to, void* data)
{
    const ctx::transfer_t transfer = ctx::jump_fcontext(to, data);
    return Transfer{transfer.fctx, transfer.data};
}

}  // namespace sim::fibre

#endif
