#include "encoder/platform/platform.h"

int mutex_init(tv_mutex *lock)
{
    if (!lock) return TV_EINVAL;
    return pthread_mutex_init(&lock->m, nullptr) ? TV_EAGAIN : 0;
}

int mutex_destroy(tv_mutex *lock)
{
    if (!lock) return TV_EINVAL;
    pthread_mutex_destroy(&lock->m);
    return 0;
}

int mutex_lock(tv_mutex *lock)
{
    pthread_mutex_lock(&lock->m);
    return 0;
}

int mutex_unlock(tv_mutex *lock)
{
    pthread_mutex_unlock(&lock->m);
    return 0;
}

int cond_init(tv_cond *cond)
{
    if (!cond) return TV_EINVAL;
    return pthread_cond_init(&cond->c, nullptr) ? TV_EAGAIN : 0;
}

int cond_destroy(tv_cond *cond)
{
    if (cond) pthread_cond_destroy(&cond->c);
    return 0;
}

// Waits without time-out; callers loop on their own predicate, so a spurious
// wake-up only causes another test.
int cond_wait(tv_cond *cond, tv_mutex *lock)
{
    return pthread_cond_wait(&cond->c, &lock->m) ? 1 : 0;
}

int cond_broadcast(tv_cond *cond)
{
    pthread_cond_broadcast(&cond->c);
    return 0;
}

// Wakes at least one waiter, when there is one.
int cond_signal(tv_cond *cond)
{
    pthread_cond_signal(&cond->c);
    return 0;
}
