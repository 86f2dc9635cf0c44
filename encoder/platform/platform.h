// Thread, lock, condition and clock services: the encoder's only contact with the
// operating system's threading and time. Small functions over caller-owned lock
// and condition objects, returning 0 on success and errno numbers on misuse.
#pragma once
#include <cstdint>
#include <pthread.h>

enum { TV_ESRCH = 3, TV_EAGAIN = 11, TV_EINVAL = 22 };

struct tv_mutex { pthread_mutex_t m; };
struct tv_cond { pthread_cond_t c; };

typedef uint64_t (*thread_func)(uint64_t arg);

// One started thread, owned by its creator from thread_create to thread_join.
struct thread_handle {
    uint64_t handle;     // 0: no thread was started
    uint32_t state;      // 0 joinable, 2 claimed by a join (compare-exchange only)
    pthread_t thread;
    thread_func function;
    uint64_t argument;
    uint64_t result;     // written by the thread before it ends
};

int cpu_count(void);
uint64_t time_now_us(void);
// Monotonic nanoseconds, for waits of a fraction of a millisecond.
uint64_t time_monotonic_ns(void);
// Tells the processor that the thread is spinning on a flag.
void cpu_spin_pause(void);

[[nodiscard]] int mutex_init(tv_mutex *lock);
int mutex_destroy(tv_mutex *lock);
int mutex_lock(tv_mutex *lock);
int mutex_unlock(tv_mutex *lock);

[[nodiscard]] int cond_init(tv_cond *cond);
int cond_destroy(tv_cond *cond);
int cond_wait(tv_cond *cond, tv_mutex *lock);
int cond_broadcast(tv_cond *cond);
int cond_signal(tv_cond *cond);

[[nodiscard]] int thread_create(thread_handle **out, const void *attributes, thread_func function, uint64_t argument);
int thread_join(thread_handle *thread, uint64_t *result);
