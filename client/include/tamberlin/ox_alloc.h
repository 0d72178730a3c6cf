// Client reference-counted blocks: a 4-byte count right below the user's bytes.
//
// No size and no source location (unlike the foundation's 8-byte headers); the
// holder keeps the address of the user's bytes. Cluster nodes are such blocks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ka {

typedef uint32_t ox_client_rc_counter;

// Count 1; NULL when the process allocator fails. The caller owns the block.
void *ox_client_rc_alloc(size_t size);
// Atomic +1 then a full barrier; returns the new count. Any thread.
int ox_client_rc_reserve(void *addr);
// Full barrier then atomic -1; returns the new count. At 0 with autofree the
// block is freed and addr is no longer valid.
int64_t ox_client_rc_release_x(void *addr, bool autofree);
// Frees the block whatever its count.
void ox_client_rc_free(void *addr);
// Plain read of the count.
ox_client_rc_counter ox_client_rc_count(void *addr);

} // namespace ka
