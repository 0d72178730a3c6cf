// Info client: one request over a new TCP connection, one reply, close.
//
// Request text: item names, one per line; reply text: "item<TAB>value<LF>"
// per answered item. Each call uses its own connection and stack buffers; with
// send_as_is false the caller's names are changed in place (":", ";" and ","
// become newlines), so the text must not be shared with another thread.
#pragma once

#include <cstdint>
#include <netinet/in.h>

// Names without a final newline get one appended in a copy; such names may
// be at most this long.
#define KA_INFO_NAMES_MAX 1023
// Largest reply accepted when the caller gives no maximum; a larger stated
// size is refused before anything is allocated for it.
#define KA_INFO_REPLY_CAP (64u * 1024 * 1024)
// Bytes of an oversize reply that are read for the warning.
#define KA_INFO_EXCESSIVE_HEAD 100

// timeout_ms 0: no time limit. max_reply 0: no maximum (KA_INFO_REPLY_CAP).
// On 0 *values is a new NUL-terminated heap text owned by the caller, or NULL
// for an empty reply. On -1 *values is NULL.
int tamberlin_info_host_limit(const struct sockaddr_in *sa, char *names, char **values, int timeout_ms,
                              bool send_as_is, uint64_t max_reply);
int tamberlin_info_host(const struct sockaddr_in *sa, char *names, char **values, int timeout_ms, bool send_as_is);
// Resolves host and asks each address in turn (send_as_is false); 0 at the first success.
int tamberlin_info(char *host, short port, char *names, char **values, int timeout_ms);
// *value = the text after the first tab, up to the next newline (made a NUL).
// -1 without a tab, or when the text ends before a newline.
int tamberlin_info_parse_single(char *values, char **value);
