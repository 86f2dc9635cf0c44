#include "encoder/platform/platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

static void *thread_trampoline(void *arg)
{
    thread_handle *t = (thread_handle *)arg;
    t->result = t->function(t->argument);
    return nullptr;
}

int thread_create(thread_handle **out, const void *attributes, thread_func function, uint64_t argument)
{
    (void)attributes;
    thread_handle *t = (thread_handle *)std::calloc(1, sizeof(thread_handle));
    if (!t) {
        *out = nullptr;
        return TV_EAGAIN;
    }
    t->function = function;
    t->argument = argument;
    *out = t;
    if (pthread_create(&t->thread, nullptr, thread_trampoline, t) != 0) {
        std::free(t);
        *out = nullptr;
        return TV_EAGAIN;
    }
    t->handle = 1;
    return 0;
}

int thread_join(thread_handle *t, uint64_t *result)
{
    if (!t || t->handle == 0) return TV_ESRCH;
    uint32_t expected = 0;
    if (!__atomic_compare_exchange_n(&t->state, &expected, 2u, false, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
        return TV_EINVAL;
    int rc = pthread_join(t->thread, nullptr);
    if (rc != 0) {
        // The thread may still be running and will write its result into t:
        // keep the record (and leave it claimed) rather than free it under it.
        std::fprintf(stderr, "Wait for thread object 0x%p error: %d\n", (void *)t->thread, rc);
        return rc;
    }
    if (result) *result = t->result;
    std::free(t);
    return 0;
}
