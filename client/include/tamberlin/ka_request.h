// The synchronous engine and the record calls.
//
// One call carries one request to the node that holds the record (the
// partition's master for a write, master or prole for a read) on a pooled
// connection and waits there for the reply, retrying within the transaction
// deadline while the write policy allows. Any number of threads may call at
// once: each call works on its own stack buffers (16 KiB for the request,
// 16 KiB for the reply body; larger ones on the heap for that call) and its
// own connection, which goes back to the node's pool only after a whole,
// well-formed reply.
//
// Times. A timeout above 0 is the transaction deadline; up to 700 ms it is
// also the time of each attempt, above that each attempt gets half of it. A
// timeout of 0 means no deadline and attempts that end after 50 ms in which
// nothing arrives, retried for as long as it takes under the retry policy. A
// reply that is already waiting is read even when the deadline has passed.
//
// Results (ka_rv): 0 or the server's result code; -1 not started, bad
// arguments, a request that does not compile, no memory; -2 the deadline
// passed; 1 also for a reply that breaks the codec's rules or does not parse
// (its connection is closed, the call is not retried). A network failure with
// no attempt left (a policy other than retry) returns the socket code of that
// attempt, as the asynchronous calls do; it shares the range of the server
// codes.
#pragma once

#include "tamberlin/ka_cluster.h"
#include "tamberlin/tamberlin.h"

#include <atomic>
#include <cstdint>

// The engine. bins/operations/n_bins: the values to send (and, for a read,
// to receive): with *n_bins 0 a read returns a new array of every bin of the
// record through *bins (or *operations) and its size through *n_bins, which
// the caller frees (tamberlin_bins_free, then free); with a caller array of
// *n_bins entries the values of the bins it names are filled in (objects
// inited null beforehand). Values are taken from the reply only for requests
// with KA_MSG_INFO1_READ. generation, setname (KA_SET_NAME_SZ bytes) and
// record_ttl (remaining seconds; 0xFFFFFFFF never expires) are filled when
// given. *trid is sent when not 0 and receives the reply's. Outputs come
// from one whole reply that parsed or from none: a call that ends otherwise
// (a malformed reply included) leaves them empty (*bins NULL and *n_bins 0
// for a new array, setname "", generation and record_ttl 0).
int do_the_full_monte(ka_cluster *asc, int info1, int info2, const char *ns, const char *set, const ka_object *key,
                      const ka::ox_digest *digest, ka_bin **bins, ka_operator op, ka_operation **operations,
                      int *n_bins, uint32_t *generation, const ka_write_parameters *wp, uint64_t *trid,
                      char *setname, uint32_t *record_ttl);

// ---- record calls (any thread; timeouts in ms as above, negative: -1) ----

// Reads the bins that the caller's n bins name into them.
int tamberlin_get(ka_cluster *asc, const char *ns, const char *set, const ka_object *key, ka_bin *bins, int n,
                  int timeout_ms, uint32_t *generation);
int tamberlin_get_digest(ka_cluster *asc, const char *ns, const ka::ox_digest *digest, ka_bin *bins, int n,
                         int timeout_ms, uint32_t *generation);
// 0 when the record exists; no bin data travels.
int tamberlin_exists_key(ka_cluster *asc, const char *ns, const char *set, const ka_object *key, ka_bin *bins,
                         int n, int timeout_ms, uint32_t *generation);
int tamberlin_exists_digest(ka_cluster *asc, const char *ns, const ka::ox_digest *digest, ka_bin *bins, int n,
                            int timeout_ms, uint32_t *generation);
int tamberlin_verify(ka_cluster *asc, const char *ns, const char *set, const ka_object *key, ka_bin *bins, int n,
                     int timeout_ms, uint32_t *generation);
// A new array of every bin (the caller frees it); *bins NULL and *n_bins 0
// unless the call returns 0 with bins.
int tamberlin_get_all(ka_cluster *asc, const char *ns, const char *set, const ka_object *key, ka_bin **bins,
                      int *n_bins, int timeout_ms, uint32_t *generation);
// The same by digest, with the set name (when setname is given) and the
// remaining time to live (when record_ttl is given).
int tamberlin_get_all_digest_getsetname(ka_cluster *asc, const char *ns, const ka::ox_digest *digest,
                                        ka_bin **bins, int *n_bins, int timeout_ms, uint32_t *generation,
                                        char *setname, uint32_t *record_ttl);
int tamberlin_get_all_digest(ka_cluster *asc, const char *ns, const ka::ox_digest *digest, ka_bin **bins,
                             int *n_bins, int timeout_ms, uint32_t *generation);

// Writes: wp may be NULL (no deadline, 50 ms attempts, retried).
int tamberlin_put(ka_cluster *asc, const char *ns, const char *set, const ka_object *key, const ka_bin *bins, int n,
                  const ka_write_parameters *wp);
int tamberlin_put_digest(ka_cluster *asc, const char *ns, const ka::ox_digest *digest, const ka_bin *bins, int n,
                         const ka_write_parameters *wp);
// A write by digest that also carries the set name.
int tamberlin_restore(ka_cluster *asc, const char *ns, const ka::ox_digest *digest, const char *set,
                      const ka_bin *bins, int n, const ka_write_parameters *wp);
// A delete retried after a network failure that then finds no record gives 0:
// the lost attempt deleted it.
int tamberlin_delete(ka_cluster *asc, const char *ns, const char *set, const ka_object *key,
                     const ka_write_parameters *wp);
int tamberlin_delete_digest(ka_cluster *asc, const char *ns, const ka::ox_digest *digest,
                            const ka_write_parameters *wp);
// The same as tamberlin_delete: the verify bit of a delete is never sent.
int tamberlin_delete_verify(ka_cluster *asc, const char *ns, const char *set, const ka_object *key,
                            const ka_write_parameters *wp);
// Each operation with its own operator; read values come back into the
// operations. replace must be 0.
int tamberlin_operate(ka_cluster *asc, const char *ns, const char *set, const ka_object *key, ka_operation *ops,
                      int n, const ka_write_parameters *wp, int replace, uint32_t *generation);
int tamberlin_operate_digest(ka_cluster *asc, const char *ns, const ka::ox_digest *digest, ka_operation *ops, int n,
                             const ka_write_parameters *wp, int replace, uint32_t *generation);

// ---- pieces of the engine, for tests and fuzzing ----

// The times of one call: -1 for a negative timeout; else 0 with the attempt
// time and the deadline (0: none) of a call that starts at now.
int ka_request_times(const ka_write_parameters *wp, uint64_t now, int *attempt_ms, uint64_t *deadline);

// Takes apart one whole reply held in memory exactly as the engine takes
// apart one read from a connection (the codec's reply rules, inflation, body,
// parse, generation and time to live), for a read that asks for all bins.
// Gives the reply's result code, 1 for bytes that are not one whole
// well-formed reply, -1 when memory is short. *bins must be NULL and *n_bins
// 0; on 0 or a server code the caller frees what *bins holds.
int ka_request_parse_reply(const uint8_t *buf, size_t len, ka_bin **bins, int *n_bins, uint32_t *generation,
                           char *setname, uint32_t *record_ttl);

// Test binaries only. The attempt time of a call without a timeout (50 in the
// product), and a function called on the calling thread after each request
// has been sent and before its reply is read (NULL in the product).
void ka_request_test_set_idle_attempt_ms(int ms);
typedef void (*ka_request_sent_fn)(int fd, uint64_t deadline);
extern std::atomic<ka_request_sent_fn> ka_request_test_after_send;
