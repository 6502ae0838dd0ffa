// Process-wide stop request, signal slots with a chaining handler, and the guard.
#include "vx_interrupt.h"

#include <cerrno>
#include <csignal>
#include <initializer_list>

#include "vx_blob.hpp"

struct vx_interrupt_guard {
    int signals[VX_INTERRUPT_MAX_SIGNALS]; // held, in installation order
    uint32_t n;
    uint32_t latency_set;  // the latency this guard set, 0 = none
    uint32_t latency_prev; // the latency to restore when it goes
    vx_interrupt_guard *below; // the latency-setting guard made before it, if still alive
};

namespace {

// This copy's own state, used until another copy's state is adopted.
vx_interrupt_state own_state = {0, VX_INTERRUPT_DEFAULT_LATENCY_MS};
vx_interrupt_state *shared = &own_state;

vx_interrupt_state *state() { return __atomic_load_n(&shared, __ATOMIC_ACQUIRE); }

// One installed signal. `used` is published last (release) so the handler, which may run
// on any thread at any time, sees a complete slot. `holders` counts the guards (or the
// one direct installation) relying on it.
struct Slot {
    int sig;
    int used;
    uint32_t holders;
    struct sigaction prev;
};
Slot slots[VX_INTERRUPT_MAX_SIGNALS];

// Latency-setting guards, newest first. A guard that goes while a newer one lives hands
// its saved latency to that one instead of restoring it, so guards destroyed in any order
// leave the latency of the newest live guard, and the original one after the last.
vx_interrupt_guard *latency_top = nullptr;

void latency_push(vx_interrupt_guard *g, uint32_t ms)
{
    g->latency_prev = vx_interrupt_latency_ms();
    g->latency_set = ms;
    g->below = latency_top;
    latency_top = g;
    vx_set_interrupt_latency_ms(ms);
}

void latency_pop(vx_interrupt_guard *g)
{
    if (latency_top == g) {
        latency_top = g->below;
        vx_set_interrupt_latency_ms(g->latency_prev);
        return;
    }
    for (vx_interrupt_guard *above = latency_top; above; above = above->below)
        if (above->below == g) {
            above->below = g->below;
            above->latency_prev = g->latency_prev;
            return;
        }
}

bool slot_used(const Slot &s) { return __atomic_load_n(&s.used, __ATOMIC_ACQUIRE) != 0; }

Slot *held(int sig)
{
    for (Slot &s : slots)
        if (slot_used(s) && s.sig == sig)
            return &s;
    return nullptr;
}

// Runs in signal context: lock-free stores and the previous action only.
void forward(int sig, siginfo_t *info, void *context)
{
    const int saved_errno = errno;
    __atomic_store_n(&state()->interrupted, 1u, __ATOMIC_SEQ_CST);
    if (const Slot *s = held(sig)) {
        const struct sigaction &p = s->prev;
        if (p.sa_flags & SA_SIGINFO) {
            if (p.sa_sigaction)
                p.sa_sigaction(sig, info, context);
        } else if (p.sa_handler != SIG_DFL && p.sa_handler != SIG_IGN) {
            p.sa_handler(sig);
        }
    }
    errno = saved_errno;
}

// Take a free slot for sig and install the handler; nullptr when no slot is free or
// sigaction refuses. The previous action is saved before ours goes in, so a signal
// arriving in between already finds it.
Slot *install(int sig)
{
    // A fault signal returns into the faulting instruction: with only the flag set, a
    // real fault would repeat forever. SIGKILL and SIGSTOP cannot be caught at all.
    for (int never : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGKILL, SIGSTOP})
        if (sig == never)
            return nullptr;
    Slot *s = nullptr;
    for (Slot &c : slots)
        if (!slot_used(c)) {
            s = &c;
            break;
        }
    if (!s || sigaction(sig, nullptr, &s->prev) != 0)
        return nullptr;
    s->sig = sig;
    s->holders = 1;
    __atomic_store_n(&s->used, 1, __ATOMIC_RELEASE);
    struct sigaction ours = {};
    ours.sa_sigaction = forward;
    ours.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&ours.sa_mask);
    if (sigaction(sig, &ours, nullptr) != 0) {
        __atomic_store_n(&s->used, 0, __ATOMIC_RELEASE);
        return nullptr;
    }
    return s;
}

int restore(Slot *s)
{
    if (sigaction(s->sig, &s->prev, nullptr) != 0)
        return VX_ERR_INVALID;
    __atomic_store_n(&s->used, 0, __ATOMIC_RELEASE);
    return VX_OK;
}

// A guard's hold on sig: installs it, or joins the installation already there.
bool acquire(int sig)
{
    if (Slot *s = held(sig)) {
        ++s->holders;
        return true;
    }
    return install(sig) != nullptr;
}

void release(int sig)
{
    Slot *s = held(sig);
    if (s && --s->holders == 0)
        restore(s);
}

}  // namespace

extern "C" {

VX_API void vx_interrupt(void) { __atomic_store_n(&state()->interrupted, 1u, __ATOMIC_SEQ_CST); }

VX_API void vx_resume(void) { __atomic_store_n(&state()->interrupted, 0u, __ATOMIC_SEQ_CST); }

VX_API int vx_interrupted(void)
{
    return __atomic_load_n(&state()->interrupted, __ATOMIC_SEQ_CST) != 0;
}

VX_API void vx_set_interrupt_latency_ms(uint32_t ms)
{
    __atomic_store_n(&state()->latency_ms, ms ? ms : VX_INTERRUPT_DEFAULT_LATENCY_MS,
                     __ATOMIC_RELAXED);
}

VX_API uint32_t vx_interrupt_latency_ms(void)
{
    return __atomic_load_n(&state()->latency_ms, __ATOMIC_RELAXED);
}

VX_API int vx_interrupt_on_signal(int sig)
{
    if (held(sig))
        return VX_OK;
    return install(sig) ? VX_OK : VX_ERR_INVALID;
}

VX_API int vx_restore_signal(int sig)
{
    Slot *s = held(sig);
    return s ? restore(s) : VX_ERR_INVALID;
}

VX_API vx_interrupt_state *vx_interrupt_guard_state_ptr(void) { return state(); }

VX_API void vx_interrupt_guard_state_adopt(vx_interrupt_state *p)
{
    if (p)
        __atomic_store_n(&shared, p, __ATOMIC_RELEASE);
}

VX_API vx_interrupt_guard *vx_interrupt_guard_create(const int *signals, uint64_t n,
                                                     uint32_t latency_ms)
{
    if (n > VX_INTERRUPT_MAX_SIGNALS || (n && !signals))
        return nullptr;
    vx_interrupt_guard *g = vx::alloc_object<vx_interrupt_guard>();
    if (!g)
        return nullptr;
    if (latency_ms)
        latency_push(g, latency_ms);
    for (uint64_t i = 0; i < n; ++i) {
        if (!acquire(signals[i])) {
            vx_interrupt_guard_destroy(g);  // undoes what was done so far
            return nullptr;
        }
        g->signals[g->n++] = signals[i];
    }
    // Cleared only once the guard stands, so a refused guard changes nothing.
    vx_resume();
    return g;
}

VX_API void vx_interrupt_guard_destroy(vx_interrupt_guard *g)
{
    if (!g)
        return;
    for (uint32_t i = g->n; i-- > 0;)
        release(g->signals[i]);
    if (g->latency_set)
        latency_pop(g);
    vx_free(g);
}

VX_API void vx_interrupt_guard_interrupt(vx_interrupt_guard *) { vx_interrupt(); }
VX_API void vx_interrupt_guard_resume(vx_interrupt_guard *) { vx_resume(); }
VX_API int vx_interrupt_guard_interrupted(const vx_interrupt_guard *) { return vx_interrupted(); }
VX_API uint32_t vx_interrupt_guard_latency_ms(const vx_interrupt_guard *)
{
    return vx_interrupt_latency_ms();
}

VX_API uint32_t vx_interrupt_guard_latency_set(const vx_interrupt_guard *g)
{
    return g ? g->latency_set : 0;
}

VX_API uint32_t vx_interrupt_guard_signals(const vx_interrupt_guard *g, int *out, uint32_t cap)
{
    if (!g)
        return 0;
    for (uint32_t i = 0; i < g->n && i < cap && out; ++i)
        out[i] = g->signals[i];
    return g->n;
}

}  // extern "C"
