/*
 * Internal to the foundation: holds a mutex for one scope when there is one
 * (a container made without a lock passes NULL), and releases it on every
 * return path.
 */
#pragma once

#include <pthread.h>

struct ox_mutex_guard {
    pthread_mutex_t *m;
    explicit ox_mutex_guard(pthread_mutex_t *lock) : m(lock)
    {
        if (m) {
            pthread_mutex_lock(m);
        }
    }
    ~ox_mutex_guard()
    {
        if (m) {
            pthread_mutex_unlock(m);
        }
    }
    ox_mutex_guard(const ox_mutex_guard &) = delete;
    ox_mutex_guard &operator=(const ox_mutex_guard &) = delete;
};
