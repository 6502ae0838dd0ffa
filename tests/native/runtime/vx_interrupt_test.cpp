#include <gtest/gtest.h>

#include <csignal>
#include <initializer_list>

#include "vx_interrupt.h"

namespace {

volatile sig_atomic_t info_calls = 0, plain_calls = 0;
void info_handler(int, siginfo_t *, void *) { info_calls = info_calls + 1; }
void plain_handler(int) { plain_calls = plain_calls + 1; }

struct sigaction query(int sig)
{
    struct sigaction a = {};
    sigaction(sig, nullptr, &a);
    return a;
}

void set_action(int sig, void (*plain)(int), void (*info)(int, siginfo_t *, void *))
{
    struct sigaction a = {};
    sigemptyset(&a.sa_mask);
    if (info) {
        a.sa_sigaction = info;
        a.sa_flags = SA_SIGINFO;
    } else {
        a.sa_handler = plain;
    }
    sigaction(sig, &a, nullptr);
}

bool ours(int sig)
{
    const struct sigaction a = query(sig);
    return (a.sa_flags & SA_SIGINFO) && a.sa_sigaction != info_handler;
}

// Every test leaves the process as it found it: no slots held, flag clear, default latency.
class Interrupt : public ::testing::Test {
  protected:
    void SetUp() override
    {
        info_calls = 0;
        plain_calls = 0;
        set_action(SIGUSR1, nullptr, info_handler);
        set_action(SIGUSR2, plain_handler, nullptr);
    }
    void TearDown() override
    {
        signal(SIGUSR1, SIG_DFL);
        signal(SIGUSR2, SIG_DFL);
        vx_resume();
        vx_set_interrupt_latency_ms(0);
    }
};

}  // namespace

TEST_F(Interrupt, FlagAndLatency)
{
    EXPECT_EQ(vx_interrupted(), 0);
    vx_interrupt();
    EXPECT_EQ(vx_interrupted(), 1);
    vx_resume();
    EXPECT_EQ(vx_interrupted(), 0);
    EXPECT_EQ(vx_interrupt_latency_ms(), 100u);
    vx_set_interrupt_latency_ms(7);
    EXPECT_EQ(vx_interrupt_latency_ms(), 7u);
    vx_set_interrupt_latency_ms(0);
    EXPECT_EQ(vx_interrupt_latency_ms(), 100u);
}

TEST_F(Interrupt, GuardSetsTheFlagAndChainsToThePreviousHandler)
{
    vx_interrupt();  // a new guard starts clear
    const int sigs[] = {SIGUSR1, SIGUSR2};
    vx_interrupt_guard *g = vx_interrupt_guard_create(sigs, 2, 25);
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(vx_interrupt_guard_interrupted(g), 0);
    EXPECT_EQ(vx_interrupt_guard_latency_ms(g), 25u);
    EXPECT_TRUE(ours(SIGUSR1));
    raise(SIGUSR1);
    EXPECT_EQ(vx_interrupted(), 1);
    EXPECT_EQ(info_calls, 1);  // three-argument handler chained
    vx_interrupt_guard_resume(g);
    raise(SIGUSR2);
    EXPECT_EQ(vx_interrupted(), 1);
    EXPECT_EQ(plain_calls, 1);  // one-argument handler chained
    int got[8];
    EXPECT_EQ(vx_interrupt_guard_signals(g, got, 8), 2u);
    EXPECT_EQ(got[1], SIGUSR2);

    vx_interrupt_guard_destroy(g);
    EXPECT_EQ(query(SIGUSR1).sa_sigaction, info_handler);
    EXPECT_EQ(query(SIGUSR2).sa_handler, plain_handler);
    EXPECT_EQ(vx_interrupt_latency_ms(), 100u);
    EXPECT_EQ(vx_interrupted(), 1);  // the flag outlives the guard until resumed
    vx_resume();
    raise(SIGUSR1);
    EXPECT_EQ(vx_interrupted(), 0);
    EXPECT_EQ(info_calls, 2);
    vx_interrupt_guard_destroy(nullptr);
}

TEST_F(Interrupt, DefaultAndIgnoreDispositionsAreNotReraised)
{
    signal(SIGUSR1, SIG_DFL);  // would terminate the process if re-raised
    signal(SIGUSR2, SIG_IGN);
    const int sigs[] = {SIGUSR1, SIGUSR2};
    vx_interrupt_guard *g = vx_interrupt_guard_create(sigs, 2, 0);
    ASSERT_NE(g, nullptr);
    raise(SIGUSR1);
    EXPECT_EQ(vx_interrupted(), 1);
    vx_resume();
    raise(SIGUSR2);
    EXPECT_EQ(vx_interrupted(), 1);
    vx_interrupt_guard_destroy(g);
    EXPECT_EQ(query(SIGUSR1).sa_handler, SIG_DFL);
    EXPECT_EQ(query(SIGUSR2).sa_handler, SIG_IGN);
}

TEST_F(Interrupt, NestedGuardsKeepTheHandlerUntilTheLastOneGoes)
{
    const int sig[] = {SIGUSR1};
    for (bool first_goes_first : {true, false}) {
        vx_interrupt_guard *a = vx_interrupt_guard_create(sig, 1, 0);
        vx_interrupt_guard *b = vx_interrupt_guard_create(sig, 1, 0);
        ASSERT_TRUE(a && b);
        vx_interrupt_guard_destroy(first_goes_first ? a : b);
        EXPECT_TRUE(ours(SIGUSR1));
        raise(SIGUSR1);
        EXPECT_EQ(vx_interrupted(), 1);
        vx_resume();
        vx_interrupt_guard_destroy(first_goes_first ? b : a);
        EXPECT_EQ(query(SIGUSR1).sa_sigaction, info_handler);
    }
    EXPECT_EQ(info_calls, 2);
}

TEST_F(Interrupt, LatencyOfGuardsDestroyedInAnyOrder)
{
    vx_set_interrupt_latency_ms(40);
    vx_interrupt_guard *a = vx_interrupt_guard_create(nullptr, 0, 5);
    vx_interrupt_guard *b = vx_interrupt_guard_create(nullptr, 0, 7);
    ASSERT_TRUE(a && b);
    vx_interrupt_guard_destroy(a);  // b still lives: its latency stays in force
    EXPECT_EQ(vx_interrupt_latency_ms(), 7u);
    vx_interrupt_guard_destroy(b);  // the latency from before both
    EXPECT_EQ(vx_interrupt_latency_ms(), 40u);
}

TEST_F(Interrupt, EightSlotsAtMost)
{
    const int sigs[] = {SIGUSR1, SIGUSR2, SIGHUP, SIGTERM, SIGALRM, SIGWINCH, SIGURG, SIGPIPE};
    struct sigaction before[8];
    for (int i = 0; i < 8; ++i)
        before[i] = query(sigs[i]);
    for (int s : sigs)
        ASSERT_EQ(vx_interrupt_on_signal(s), VX_OK);
    EXPECT_EQ(vx_interrupt_on_signal(SIGUSR1), VX_OK);  // already held: no new slot
    EXPECT_EQ(vx_interrupt_on_signal(SIGCHLD), VX_ERR_INVALID);
    const int one[] = {SIGCHLD};
    EXPECT_EQ(vx_interrupt_guard_create(one, 1, 0), nullptr);  // no free slot
    vx_interrupt();
    raise(SIGUSR1);
    EXPECT_EQ(info_calls, 1);
    for (int i = 7; i >= 0; --i)
        ASSERT_EQ(vx_restore_signal(sigs[i]), VX_OK);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(query(sigs[i]).sa_handler, before[i].sa_handler) << sigs[i];
    EXPECT_EQ(vx_restore_signal(SIGUSR1), VX_ERR_INVALID);  // no longer held
    EXPECT_EQ(vx_interrupt_on_signal(SIGCHLD), VX_OK);       // slots are free again
    EXPECT_EQ(vx_restore_signal(SIGCHLD), VX_OK);
}

TEST_F(Interrupt, RefusedGuardUndoesEverything)
{
    vx_interrupt();
    vx_set_interrupt_latency_ms(40);
    const int nine[] = {SIGUSR1, SIGUSR2, SIGHUP, SIGTERM, SIGALRM, SIGWINCH, SIGURG, SIGPIPE,
                        SIGCHLD};
    EXPECT_EQ(vx_interrupt_guard_create(nine, 9, 5), nullptr);
    EXPECT_EQ(vx_interrupt_guard_create(nullptr, 1, 5), nullptr);
    for (int bad : {SIGKILL, SIGSTOP, SIGSEGV, SIGBUS, SIGFPE, SIGILL, 0, -3, 4096}) {
        const int sigs[] = {SIGUSR1, SIGUSR2, bad};
        EXPECT_EQ(vx_interrupt_guard_create(sigs, 3, 5), nullptr) << bad;
        EXPECT_EQ(query(SIGUSR1).sa_sigaction, info_handler);
        EXPECT_EQ(query(SIGUSR2).sa_handler, plain_handler);
    }
    EXPECT_EQ(vx_interrupt_latency_ms(), 40u);
    EXPECT_EQ(vx_interrupted(), 1);
    EXPECT_EQ(vx_interrupt_on_signal(SIGKILL), VX_ERR_INVALID);
    // Every slot came back: eight signals still fit.
    const int eight[] = {SIGUSR1, SIGUSR2, SIGHUP, SIGTERM, SIGALRM, SIGWINCH, SIGURG, SIGPIPE};
    vx_interrupt_guard *g = vx_interrupt_guard_create(eight, 8, 0);
    ASSERT_NE(g, nullptr);
    vx_interrupt_guard_destroy(g);
    vx_interrupt_guard *empty = vx_interrupt_guard_create(nullptr, 0, 0);
    ASSERT_NE(empty, nullptr);
    vx_interrupt_guard_destroy(empty);
}

TEST_F(Interrupt, AdoptedStateIsTheOneEveryCallUses)
{
    vx_interrupt_state *own = vx_interrupt_guard_state_ptr();
    vx_interrupt_state other = {0, 100};
    vx_interrupt_guard_state_adopt(&other);
    vx_interrupt_guard_state_adopt(nullptr);  // ignored
    EXPECT_EQ(vx_interrupt_guard_state_ptr(), &other);
    vx_interrupt();
    EXPECT_EQ(other.interrupted, 1u);
    EXPECT_EQ(own->interrupted, 0u);
    other.interrupted = 0;
    const int sig[] = {SIGUSR2};
    vx_interrupt_guard *g = vx_interrupt_guard_create(sig, 1, 0);
    raise(SIGUSR2);  // the handler writes the adopted state too
    EXPECT_EQ(other.interrupted, 1u);
    vx_interrupt_guard_destroy(g);
    vx_interrupt_guard_state_adopt(own);
}
