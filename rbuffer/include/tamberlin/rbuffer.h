/*
 * rbuffer: the persistent ring buffer that holds the digest log.
 *
 * A buffer is one ring of fixed-size records kept in one to four files. Each
 * file starts with a 2048-byte header region (the common header at 0, the
 * file's own header at 104) followed by 8004-byte segments: 8000 data bytes
 * and a 4-byte trailer (version, record count, magic). The on-disk structures
 * below are the format, byte for byte, little-endian; every offset is pinned
 * by a static_assert.
 *
 * The kept region runs from the start position to the writer; the main reader
 * lies inside it and the writer respects it (it waits, or with overwrite it
 * drops the oldest segments five at a time and pushes the main reader along).
 * Caching contexts are extra readers that nobody respects: they learn from a
 * -1 that their records have gone.
 *
 * Turns: the wrap generation (the common header's `version`) rises each time
 * the writer enters segment 0 of file 0. A segment at or behind the writer is
 * expected to carry the current generation, one ahead of it the previous one;
 * every context knows the generation its own segment must carry, and all
 * comparisons are 16-bit serial arithmetic, so the count may wrap.
 *
 * Durability: a segment is written whole with one positioned write (from the
 * cache, or gathered from the caller's records and the trailer), and the
 * headers are rewritten after it. The stored write position only ever names
 * records that are on disk; on opening, the writer's record count is taken
 * from its segment's trailer when that segment belongs to the current turn,
 * so records written just before a crash are found again.
 *
 * Locks: a context's lock is taken before the buffer lock `mlock`. Every
 * position (all contexts, start, stored positions), every cached segment of a
 * reader and every file access is touched only under `mlock`; the context lock
 * serialises the users of one context. Statistics are changed with atomic adds
 * and read without a lock.
 */
#pragma once

#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "tamberlin/fault.h"

/* ---- format constants ---------------------------------------------------- */

#define RBUFFER_FILE_MAGIC 0xd19e56109f11e001ULL
#define RBUFFER_SEG_MAGIC 0xb7
#define RBUFFER_FILE_HEADER_SIZE 2048
#define RBUFFER_SEG_DATASIZE 8000
#define RBUFFER_SEG_HEADER_SIZE 4
#define RBUFFER_SEG_SIZE (RBUFFER_SEG_DATASIZE + RBUFFER_SEG_HEADER_SIZE)
#define RBUFFER_MAX_FILES 4
#define RBUFFER_MAX_FILENAME 256
#define RBUFFER_NUM_UDATA 32
/* Segments of a file of `fsize` bytes (the stored size, header not subtracted). */
#define RBUFFER_MAX_SEG(fsize) ((uint64_t)(fsize) / RBUFFER_SEG_SIZE)
/* Fewer segments than this can never free space for the writer. */
#define RBUFFER_MIN_SEGS 7

/* Flag byte of the common header. */
#define RBUFFER_FLAG_OVERWRITE 0x01
#define RBUFFER_FLAG_PERSIST 0x02
#define RBUFFER_FLAG_TRACE 0x04

/* Context flags. */
#define RBUFFER_CTX_FLAG_NEEDSEEK 0x01
#define RBUFFER_CTX_FLAG_SEARCH 0x02

/* Start moves made by the writer. */
#define RBUFFER_FLAG_OVERWRITE_BUFHEAD 1
#define RBUFFER_FLAG_OVERWRITE_READ 2
#define RBUFFER_FLAG_OVERWRITE_CHUNK 5

/* Results of ox_rbuffer_read (a positive count otherwise). */
#define RBUFFER_READ_HITS_WRITE 0       /* caught up with what the writer has written */
#define RBUFFER_SEG_VERSION_MISMATCH -1 /* the context's records were reclaimed or overwritten */
#define RBUFFER_FILE_SYSTEM_ERROR -2    /* the writer's segment could not be read whole */
#define RBUFFER_SEG_BAD_MAGIC -3        /* the writer's segment was never written */

/* ---- on-disk structures --------------------------------------------------- */

/* A position: file, segment in that file, record in that segment. A record
 * index equal to the records per segment names the end of that segment. */
struct ox_rbuffer_ptr {
	uint8_t fidx;
	uint8_t pad[7];
	uint64_t seg_id;
	uint64_t rec_id;
};

/* Common header, offset 0 of every file. */
struct ox_rbuffer_chdr {
	uint64_t magic;     /* RBUFFER_FILE_MAGIC; 0 in a file never stamped */
	uint64_t signature; /* random, drawn at creation; identifies the buffer */
	uint16_t seg_size;  /* always RBUFFER_SEG_DATASIZE */
	uint16_t rec_size;
	uint8_t flag;       /* RBUFFER_FLAG_* at the last persist */
	uint8_t nfiles;
	uint8_t pad1[2];
	ox_rbuffer_ptr sptr; /* start: the oldest segment kept */
	ox_rbuffer_ptr rptr; /* main reader at the last persist */
	ox_rbuffer_ptr wptr; /* writer at the last persist: records on disk */
	int16_t version;     /* wrap generation, 1 at creation */
	uint8_t pad2[6];
};

/* File header, offset 104 of its file. */
struct ox_rbuffer_hdr {
	int64_t fsize; /* configured size when the header was created */
	uint8_t fidx;
	char fname[RBUFFER_MAX_FILENAME]; /* NUL-terminated path */
	uint8_t pad1[7];
	ox_rbuffer_ptr sseg; /* this file's first segment */
	ox_rbuffer_ptr nseg; /* where the ring continues after this file */
	ox_rbuffer_ptr pseg; /* previous file, one past its last segment */
	uint16_t unused[11];
	uint8_t pad2[2];
	uint64_t udata[RBUFFER_NUM_UDATA]; /* the caller's words */
};

/* Segment k of a file at 2048 + k * 8004. */
struct ox_rbuffer_seg {
	char data[RBUFFER_SEG_DATASIZE]; /* record r at r * rec_size */
	int16_t version;  /* generation when last written */
	uint8_t num_recs; /* valid records from record 0 */
	uint8_t magic;    /* RBUFFER_SEG_MAGIC when written */
};

static_assert(sizeof(ox_rbuffer_ptr) == 24);
static_assert(offsetof(ox_rbuffer_ptr, fidx) == 0);
static_assert(offsetof(ox_rbuffer_ptr, seg_id) == 8);
static_assert(offsetof(ox_rbuffer_ptr, rec_id) == 16);

static_assert(sizeof(ox_rbuffer_chdr) == 104);
static_assert(offsetof(ox_rbuffer_chdr, magic) == 0);
static_assert(offsetof(ox_rbuffer_chdr, signature) == 8);
static_assert(offsetof(ox_rbuffer_chdr, seg_size) == 16);
static_assert(offsetof(ox_rbuffer_chdr, rec_size) == 18);
static_assert(offsetof(ox_rbuffer_chdr, flag) == 20);
static_assert(offsetof(ox_rbuffer_chdr, nfiles) == 21);
static_assert(offsetof(ox_rbuffer_chdr, sptr) == 24);
static_assert(offsetof(ox_rbuffer_chdr, rptr) == 48);
static_assert(offsetof(ox_rbuffer_chdr, wptr) == 72);
static_assert(offsetof(ox_rbuffer_chdr, version) == 96);

static_assert(sizeof(ox_rbuffer_hdr) == 624);
static_assert(offsetof(ox_rbuffer_hdr, fsize) == 0);
static_assert(offsetof(ox_rbuffer_hdr, fidx) == 8);
static_assert(offsetof(ox_rbuffer_hdr, fname) == 9);
static_assert(offsetof(ox_rbuffer_hdr, sseg) == 272);
static_assert(offsetof(ox_rbuffer_hdr, nseg) == 296);
static_assert(offsetof(ox_rbuffer_hdr, pseg) == 320);
static_assert(offsetof(ox_rbuffer_hdr, unused) == 344);
static_assert(offsetof(ox_rbuffer_hdr, udata) == 368);

static_assert(sizeof(ox_rbuffer_seg) == RBUFFER_SEG_SIZE);
static_assert(offsetof(ox_rbuffer_seg, version) == 8000);
static_assert(offsetof(ox_rbuffer_seg, num_recs) == 8002);
static_assert(offsetof(ox_rbuffer_seg, magic) == 8003);

/* Where the structures sit in a file. */
#define RBUFFER_CHDR_OFFSET 0
#define RBUFFER_HDR_OFFSET ((int64_t)sizeof(ox_rbuffer_chdr))
#define RBUFFER_META_SIZE (sizeof(ox_rbuffer_chdr) + sizeof(ox_rbuffer_hdr))
static_assert(RBUFFER_HDR_OFFSET == 104 && RBUFFER_META_SIZE == 728);
static_assert(RBUFFER_META_SIZE <= RBUFFER_FILE_HEADER_SIZE);

/* ---- in-memory objects ----------------------------------------------------- */

/* Filled by the caller; ox_rbuffer_init copies what it keeps. */
struct ox_rbuffer_config {
	const char *fname[RBUFFER_MAX_FILES]; /* the first nfiles are used; each < 256 bytes */
	int64_t fsize[RBUFFER_MAX_FILES];     /* bytes; at least 7 segments each */
	uint8_t nfiles;                       /* 1 to RBUFFER_MAX_FILES */
	uint64_t rec_size;                    /* 32 to 8000 bytes */
	uint64_t batch_size;                  /* records after which the writer writes its segment */
	bool overwrite;
	bool persist;
	bool trace;
};

/*
 * A reader or writer context. Position, cache, flag and version are touched
 * only by the holder of `lock` and, for positions and reader caches, under the
 * buffer lock as well (the writer pushes the main reader under the buffer lock
 * alone).
 */
struct ox_rbuffer_ctx {
	ox_rbuffer_ptr ptr;
	pthread_mutex_t lock;        /* recursive for the built-in contexts, plain for caching ones */
	int fd[RBUFFER_MAX_FILES];   /* descriptors per file (owned by the buffer for built-in contexts) */
	ox_rbuffer_seg buf;          /* cached segment; magic != RBUFFER_SEG_MAGIC: nothing valid */
	uint8_t flag;                /* RBUFFER_CTX_FLAG_* */
	int16_t version;             /* generation that the context's segment must carry */
};

struct ox_rbuffer {
	ox_rbuffer_chdr chdr;                 /* start and generation live here between persists */
	ox_rbuffer_hdr hdr[RBUFFER_MAX_FILES]; /* user words of file 0: see ox_rbuffer_persist */
	/* One descriptor per file serves the writer, the main reader and the
	 * headers: positioned I/O needs no per-user stream position. */
	int rfd[RBUFFER_MAX_FILES];
	int wfd[RBUFFER_MAX_FILES];
	int mfd[RBUFFER_MAX_FILES]; /* persist mode only, else -1 */
	pthread_mutex_t mlock;      /* the buffer lock, recursive */
	ox_rbuffer_ctx rctx;        /* main reader */
	ox_rbuffer_ctx wctx;        /* writer */
	uint64_t batch_pos;         /* records added since the last segment write (writer lock) */
	bool strapped;              /* the opening completed */

	/* Statistics: atomic adds (ox_atomic64_add), read with ox_atomic64_get. */
	uint64_t read_stat;   /* records delivered by reads */
	uint64_t write_stat;  /* records stored by writes */
	uint64_t fwrite_stat; /* segment writes */
	uint64_t fwmeta_stat; /* header records written, 2 per file per persist */
	uint64_t fread_stat;  /* segment reads */
	uint64_t batch_size;  /* configured batch size */
	uint64_t max_slots;   /* capacity of file 0 in records */
	uint64_t fseek_stat;  /* writer segment writes not at the offset after its previous one */
	uint64_t lost_stat;   /* records the main reader lost: pushed by overwrite or unreadable */

	/* Geometry, fixed by the opening. */
	uint64_t max_recs;                  /* records per segment */
	uint64_t nsegs[RBUFFER_MAX_FILES];  /* segments per file */
	uint64_t seg_base[RBUFFER_MAX_FILES]; /* ring position of each file's segment 0 */
	uint64_t total_segs;

	ox_rbuffer_ptr wdisk;  /* writer's segment and the records of it on disk (buffer lock) */
	int64_t wnext_off[RBUFFER_MAX_FILES]; /* offset after the writer's last segment write */
	uint64_t wdirty;       /* bytes from the start of the writer's cached data that may
	                        * not be zero (writer lock); a segment that a call fills
	                        * goes to the file from the caller's records, not the cache */
	uint8_t flags;         /* live RBUFFER_FLAG_*; atomic byte, copied to chdr.flag by persist */
	/* The list of open buffers of this process: written before the buffer
	 * joins the list and read under the list's lock only, never the headers,
	 * which a buffer still being opened is filling in. */
	uint64_t dev[RBUFFER_MAX_FILES], ino[RBUFFER_MAX_FILES]; /* identity of the open files */
	uint8_t open_nfiles;   /* files registered in the list */
	ox_rbuffer *open_next;
};

/* Records whose space the writer gave up by moving the start (process-wide,
 * atomic adds; read with ox_atomic64_get). */
extern uint64_t runtime_reclaim;

/* ---- opening, persistence, close (any thread that owns the buffer) ------- */

/* Opens or creates the buffer; NULL on any failure, with one WARNING saying
 * why. A first file whose magic is neither 0 nor RBUFFER_FILE_MAGIC ends the
 * process (CRITICAL). The same files can be open in only one buffer of a
 * process. The caller owns the result and ends it with ox_rbuffer_close. */
ox_rbuffer *ox_rbuffer_init(ox_rbuffer_config *rcfg);
/* Writes the headers (positions, generation, user words) of every file;
 * 0, or -1 when a write failed. Takes the buffer lock; any thread. The user
 * words are read with atomic loads: store them with ox_atomic64_set. */
int ox_rbuffer_persist(ox_rbuffer *rbuf_des);
/* Persists (when strapped), closes everything and frees the object; false.
 * No other thread may use the buffer or its contexts any more. */
bool ox_rbuffer_close(ox_rbuffer *rbuf_des);
/* Checks that the configuration opens (by opening and closing it); never
 * opens a second writer on files already open. true when it opened. */
bool ox_rbuffer_reinit(ox_rbuffer *rbuf_des, ox_rbuffer_config *rcfg);

/* ---- writing (the writer context's lock; any number of writer threads) --- */

/* Appends numrecs records of the record size from buf. Returns the number of
 * records stored on disk (0 to numrecs), or -1 when nothing was stored because
 * the writer could not move on or a segment write failed. Records not counted
 * are not in the buffer: the caller writes them again. */
int ox_rbuffer_write(ox_rbuffer *rbuf_des, const char *buf, int numrecs);
/* Writes the writer's segment again; false when the write failed. */
bool ox_rbuffer_fflush(ox_rbuffer *rbuf_des);

/* ---- reading (the context's lock, then the buffer lock) ------------------ */

/* Reads up to numrecs records into buf through ctx (NULL: the main reader);
 * the bytes of buf after the records returned may be changed too.
 * A count, or one of RBUFFER_READ_HITS_WRITE, RBUFFER_SEG_VERSION_MISMATCH
 * (a caching context whose records are gone: reset it), RBUFFER_FILE_SYSTEM_ERROR,
 * RBUFFER_SEG_BAD_MAGIC. Unreadable segments behind the writer are logged,
 * counted and passed over. */
int ox_rbuffer_read(ox_rbuffer *rbuf_des, ox_rbuffer_ctx *ctx, char *buf, int numrecs);
/* ctx NULL: a new caching context owned by the calling thread (close it with
 * ox_rbuffer_closectx), at the writer (whence 2) or the start (other values);
 * NULL on failure. With a context: moves it there, or leaves it (whence 1). */
ox_rbuffer_ctx *ox_rbuffer_getsetctx(ox_rbuffer *rbuf_des, ox_rbuffer_ctx *ctx, int whence);
/* Moves a caching context to the start, as ox_rbuffer_getsetctx with whence
 * 0 does, and returns the records it passes over: those between where it
 * stood and the start when the writer took its place from under it (its
 * read returned RBUFFER_SEG_VERSION_MISMATCH), else 0. Its owning thread. */
uint64_t ox_rbuffer_ctx_tostart(ox_rbuffer *rbuf_des, ox_rbuffer_ctx *ctx);
/* Closes and frees a caching context (its owning thread). */
void ox_rbuffer_closectx(ox_rbuffer_ctx *ctx);
/* Logs a context at DETAIL. */
void ox_rbuffer_prctx(ox_rbuffer_ctx *ctx);
/* Moves ctx (NULL: the main reader) by num_recs records, forward when
 * positive, after placing it by whence as ox_rbuffer_getsetctx does. Returns
 * |num_recs|, 0 when the move is impossible (the context stays), -1 when the
 * context's records are gone. Only on a context no other thread uses now. */
int ox_rbuffer_seek(ox_rbuffer *rbuf_des, ox_rbuffer_ctx *ctx, int num_recs, int whence);
/* Records between the main reader and the writer. */
uint64_t ox_rbuffer_outstanding(ox_rbuffer *rbuf_des);

/* ---- start-up modes, reclaim, state -------------------------------------- */

/* Before the reader thread starts; positions only, no persist. */
void ox_rbuffer_setfailover(ox_rbuffer *rbuf_des);   /* re-read everything kept */
void ox_rbuffer_setnofailover(ox_rbuffer *rbuf_des); /* drop what lies before the main reader's segment */
void ox_rbuffer_setnoresume(ox_rbuffer *rbuf_des);   /* skip everything stored */
/* Moves the start up to ctx's segment, never past the main reader; the
 * records reclaimed. Any thread, under the buffer lock. */
uint64_t ox_rbuffer_setstart(ox_rbuffer *rbuf_des, ox_rbuffer_ctx *ctx);
/* Three lines of statistics and positions at the given severity. */
void ox_rbuffer_log(ox_rbuffer *rbuf_des, ox_fault_severity severity);
/* Switches the trace flag (atomic, no lock). */
void ox_rbuffer_trace(ox_rbuffer *rbuf_des, bool val);
/* The built-in self-check of eight scenarios in /tmp; 0 when all pass. */
int ox_rbuffer_test(void);

/* ---- test hook -------------------------------------------------------------
 * Set only by test binaries: called by ox_rbuffer_write, with the writer lock
 * held, just before a segment write, between a segment write and what
 * follows it (the advance or the persist), and between the writer's move to
 * its next segment and the persist that follows it. */
#define RBUFFER_HOOK_BEFORE_SEGWRITE 1
#define RBUFFER_HOOK_AFTER_SEGWRITE 2
#define RBUFFER_HOOK_AFTER_ADVANCE 3
typedef void (*ox_rbuffer_hook_fn)(ox_rbuffer *rbuf_des, int point);
extern ox_rbuffer_hook_fn ox__rbuffer_test_hook;
