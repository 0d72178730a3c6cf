/*
 * fuzz_intake: the shipper state that the pipe intake's targets share. The
 * shipper knows two namespaces, "test" (1) and "bar" (2), and two
 * datacenters, so namespace, digest, boot-node and failed-node messages all
 * find tables to fill. Main thread.
 */
#pragma once

#include <cstddef>
#include <cstdint>

struct ferry_msg_s;

/* Once, before the first input. */
void fuzz_intake_setup(void);
/* Before each input: counts the threads that are not the input's own. */
void fuzz_intake_begin(void);
/* Dispatches one message (280 bytes, changed in place) under the guard;
 * false when it ended the process by design (the input ends there). */
bool fuzz_intake_dispatch(struct ferry_msg_s *msg);
/* After each input: the tables the messages filled are emptied and the
 * failed-node threads they started are waited for. */
void fuzz_intake_end(void);
