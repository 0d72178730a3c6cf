/*
 * ferry_intake: the pipe reader thread. Opening the pipe is a conversation:
 * wait until the server answers, ask it to feed the pipe, then open and lock
 * the pipe it writes.
 */
#pragma once

/* Wait for the server, start a feed request, give the server its head
 * start, open and lock the pipe (pipe reader thread). */
void ferry_namedpipe_open_cycle(void);
/* Thread entry of the pipe reader; arg is the main thread's thread_data.
 * Never returns. */
void *read_namedpipe(void *arg);
