/* The cost of one dependent load that misses the caches on this machine, and
 * of several independent chains at once: the unit in which walks of large
 * collections of formulas wait (a walk learns a node's address only when the
 * node's parent has arrived).
 *
 *     cc -O2 -o /tmp/memory_latency bench/memory_latency.c && /tmp/memory_latency
 *
 * Each chain is a random cyclic permutation of 64-byte slots over a working
 * set (16 MiB fits the last-level cache here; 48 MiB is about what the
 * 10,000-formula rows of bench_core.py read; 256 MiB is main memory alone);
 * following k chains in lockstep shows how much of the wait overlaps when k
 * loads are in flight (a walk that requests a whole level of a tree at once).
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#define STEPS 4000000u
#define MAX_CHAINS 8

typedef struct { uint32_t next; char pad[60]; } Slot;

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec * 1e-9;
}

static void chase(uint32_t mib) {
    const uint32_t slots = (mib << 20) / 64u;
    Slot* s = aligned_alloc(64, (size_t)slots * sizeof(Slot));
    uint32_t* order = malloc(slots * sizeof(uint32_t));
    if (!s || !order) exit(1);
    uint64_t r = 88172645463325252ull;
    for (uint32_t i = 0; i < slots; ++i) order[i] = i;
    for (uint32_t i = slots - 1; i > 0; --i) {  /* Fisher-Yates with xorshift */
        r ^= r << 13, r ^= r >> 7, r ^= r << 17;
        uint32_t j = (uint32_t)(r % (i + 1));
        uint32_t t = order[i]; order[i] = order[j]; order[j] = t;
    }
    for (uint32_t i = 0; i < slots; ++i) s[order[i]].next = order[(i + 1) % slots];
    for (int k = 1; k <= MAX_CHAINS; k *= 2) {
        uint32_t at[MAX_CHAINS];
        for (int c = 0; c < k; ++c) at[c] = order[(size_t)c * (slots / MAX_CHAINS)];
        double t0 = now();
        for (uint32_t n = 0; n < STEPS; ++n)
            for (int c = 0; c < k; ++c) at[c] = s[at[c]].next;
        double ns = (now() - t0) * 1e9 / STEPS;
        uint32_t sink = 0;
        for (int c = 0; c < k; ++c) sink ^= at[c];
        printf("%8u MiB %16d %13.1f %13.1f%s\n", mib, k, ns, ns / k, sink == 0xffffffffu ? " " : "");
    }
    free(order);
    free(s);
}

int main(void) {
    printf("working set   chains in flight   ns per step   ns per load\n");
    const uint32_t sizes[] = {16, 48, 256};
    for (int i = 0; i < 3; ++i) chase(sizes[i]);
    return 0;
}
