// Client reference counts: the count sits 4 bytes below the address handed out.
#include "tamberlin/ox_alloc.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace ka {

static std::atomic<ox_client_rc_counter> *rc_of(void *addr)
{
    return reinterpret_cast<std::atomic<ox_client_rc_counter> *>(static_cast<char *>(addr) -
                                                                  sizeof(ox_client_rc_counter));
}

static_assert(sizeof(std::atomic<ox_client_rc_counter>) == sizeof(ox_client_rc_counter));

static constexpr size_t RC_HEAD = alignof(std::max_align_t);

void *ox_client_rc_alloc(size_t size)
{
    if (size > SIZE_MAX - RC_HEAD)
        return nullptr;
    // The count sits right below the user's bytes; they start RC_HEAD bytes
    // in, so that an object with pointers and mutexes (a cluster node) is
    // aligned as malloc's own blocks are.
    char *p = static_cast<char *>(malloc(size + RC_HEAD));
    if (!p)
        return nullptr;
    new (p + RC_HEAD - sizeof(ox_client_rc_counter)) std::atomic<ox_client_rc_counter>(1);
    return p + RC_HEAD;
}

int ox_client_rc_reserve(void *addr)
{
    // A sequentially consistent read-modify-write is a locked exchange-and-add
    // and a full barrier in one: the holder's accesses cannot cross it.
    ox_client_rc_counter old = rc_of(addr)->fetch_add(1, std::memory_order_seq_cst);
    return static_cast<int>(old + 1);
}

int64_t ox_client_rc_release_x(void *addr, bool autofree)
{
    ox_client_rc_counter old = rc_of(addr)->fetch_sub(1, std::memory_order_seq_cst);
    int64_t now = static_cast<int64_t>(old) - 1;
    if (now == 0 && autofree)
        ox_client_rc_free(addr);
    return now;
}

void ox_client_rc_free(void *addr)
{
    free(static_cast<char *>(addr) - RC_HEAD);
}

ox_client_rc_counter ox_client_rc_count(void *addr)
{
    return rc_of(addr)->load(std::memory_order_relaxed);
}

} // namespace ka
