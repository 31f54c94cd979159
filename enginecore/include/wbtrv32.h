/* The record engine's public interface: two C entry points, BTRCALL and BTRCALLID.
 *
 * Conventions (they hold for every operation below):
 *  - Every call returns a status: 0 success, anything else the reason it failed. A failed
 *    call changes nothing in the file; out-buffers are only written where the operation
 *    says so (status 22 on a read still copies what fits).
 *  - Record locks belong to the position block. A single-record lock (+100, +200) ends with
 *    the block's next read, its Update or Delete, Unlock or Close; multiple-record locks
 *    (+300, +400) last until Unlock, Close, Stop or Reset. A lock taken inside a transaction
 *    ends with it, at End or Abort, whichever kind. A read that asks for a lock on a
 *    record another block holds answers 84 (85 when another client's exclusive transaction
 *    holds the whole file); a wait lock first waits a few seconds for it. Update and Delete
 *    of a record another block holds answer 84; without a lock they answer 80 when the
 *    record changed since this block read it.
 *  - op: the operation code, optionally with a lock bias (+100 single wait, +200 single
 *    no-wait, +300 multiple wait, +400 multiple no-wait) on the Gets, Steps, Get Direct,
 *    Get By Percentage and Begin Transaction, and +1000 on Begin Transaction for a
 *    concurrent transaction. Codes not listed here answer 1.
 *  - pos_block: 128 bytes that belong to the engine. The caller zeroes it once and only
 *    carries it from call to call. A block the engine did not fill for this client, or one
 *    of a closed file, answers 3; it is never trusted beyond that check.
 *  - data_buf / data_len: *data_len says how many bytes data_buf offers or sends; on return
 *    it says how many bytes the engine wrote there. The engine never reads or writes past
 *    *data_len bytes. A NULL data_len counts as 0.
 *  - key_buf / key_len: the key buffer and its size in bytes (at most 255). The engine
 *    never reads or writes past key_len bytes. Reads return the key value of the record
 *    reached, in the record's own bytes.
 *  - key_num: a signed 8-bit value: a key number (0-based), or an open mode, unlock mode or
 *    owner level for the operations that take one (0xFF = -1, 0xFE = -2, ...).
 *  - client_id (BTRCALLID only): 16 bytes naming the calling client. BTRCALL calls belong
 *    to the process's default client. Position blocks belong to the client that opened
 *    them.
 *  - Files are the caller's path names; the engine keeps two small companions beside each
 *    file: "<path>-lock" (reader table) and "<path>-gate" (write and record locks, and the
 *    commit log's shared counters), and "<path>-log" (the commit log) while it is open,
 *    each as private as the file (docs/engine-file-format.md).
 *  - Thread-safe: calls are serialised inside the engine.
 */
#ifndef VASTREL_WBTRV32_H
#define VASTREL_WBTRV32_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define WBTRV32_API __attribute__((visibility("default")))

/* Size of a position block. */
#define BTR_POS_BLOCK_SIZE 128

/* Operations and what they answer besides 0 (and 3 for a block that does not check out).
 *
 * 0 Open: key_buf the path, NUL-terminated; data_buf the owner name up to its NUL (ignored
 *   for files without one); key_num the mode: 0 normal, -1 accelerated (commits not
 *   synced), -2 read-only, -3 verify (every write read back; 2 on a mismatch), -4 exclusive,
 *   -32 / -64 as normal. Statuses: 11 no path or not NUL-terminated within key_len, or a
 *   directory; 12 no such file; 30 not a record file of this engine; 46 a write mode on a
 *   file or file system that cannot be written; 51 the owner name is missing or wrong
 *   (levels 0 and 2; at levels 1 and 3 the open succeeds read-only and writes answer 46);
 *   88 an exclusive open of another client or process stands in the way, or this exclusive
 *   open finds the file open elsewhere; 85 another client's exclusive transaction holds
 *   the file; 94 the file lies on a network file system (data_buf then receives the
 *   reason as NUL-terminated text, as far as *data_len allows); 1 an unknown mode; 2 an
 *   I/O error or a damaged owner record; 23 pos_block NULL.
 * 1 Close.
 * 2 Insert: data_buf the record; key_num the key path to place it on. Out: key_buf that
 *   key's value; data_buf gets assigned autoincrement values. Statuses: 5 duplicate on a
 *   unique key; 6 bad key number; 21 key_buf shorter than the key; 22 record shorter than
 *   the fixed length; 46 read-only open; 84 / 85 another client holds the record / file;
 *   18 the file cannot grow, or it is full: its positions (4 bytes) are used up.
 * 3 Update: data_buf the new record image; key_num the key path. Statuses: 8 no current
 *   record, or the last Get was key-only; 10 a non-modifiable key changed; 5; 6; 21; 22;
 *   46; 80 another client changed or deleted the record since it was read; 84; 85; 18.
 * 4 Delete: statuses 8, 46, 80, 84, 85.
 * 5 Get Equal, 8 Greater, 9 Greater or Equal, 10 Less, 11 Less or Equal, 12 First,
 *   13 Last: key_buf the key value (5, 8 to 11). Out: the record, its length, key_buf the
 *   key value. Statuses: 4 no equal key (5); 9 nothing in that direction; 6 bad key
 *   number; 21 key_buf shorter than the key; 22 data_buf too small (what fits is copied,
 *   currency is set).
 * 6 Get Next, 7 Get Previous: statuses 9 end of path; 7 key_num differs from the Get
 *   that set the place; 8 no place on a key path; 21; 22.
 * 14 Create: data_buf the creation buffer, key_buf the path; key_num -1 refuses an
 *   existing file. Statuses: 59 exists (-1); 22 buffer shorter than its counts; 24 page
 *   size; 26 keys or segments; 27 key position; 28 record length; 29 key length; 49 key
 *   type; 45 inconsistent key flags; 11; 85 the file is open; 25 cannot create; 94;
 *   18 the server engine's catalog has no id left for another file.
 * 15 Stat: out the file specification with the record count and each segment's block
 *   with its key's number of unique values at offset 6. Statuses: 22 data_buf too small.
 *   With key_num -1, the storage form: out 64 bytes, eight little-endian u64: the data
 *   file's size in bytes, the page size, the pages up to the last one in use, the map's
 *   size in bytes (it grows ahead of need), the pages of the records, of all keys, of the
 *   rest (meta pages and entries, the engine's own trees), and the free pages that later
 *   commits reuse. Statuses: 22 data_buf shorter than 64 bytes.
 * 19 Begin Transaction (exclusive), 1019 (concurrent), lock biases accepted: the client's
 *   changes to every file stay its own (its Gets see them, others read the last commit)
 *   until 20 End commits them file after file, or 21 Abort drops them. Each file a
 *   transaction changed keeps its write gate until then: other clients' writes to it
 *   answer 85 at once in this process, after a bounded wait in another. A call refused
 *   inside a transaction leaves no trace in it; one that fails for the storage's sake
 *   (2, 18) ends the transaction, undoing it all. Statuses: 37 one is active (19); 39 none is
 *   active (20, 21); 18 a change did not fit the file's map (which cannot grow under an
 *   open transaction). A concurrent transaction keeps other writers out of its files as an
 *   exclusive one does (the file has one writer at a time); it differs in leaving record
 *   locks and opens of other clients free.
 * 22 Get Position: out 4 bytes, the current record's position. Statuses: 8; 22.
 * 23 Get Direct: data_buf's first 4 bytes a position; key_num the key path to take up
 *   (-1 none). Statuses: 43 no record there; 6; 21; 22.
 * 24 Step Next, 33 Step First, 34 Step Last, 35 Step Previous: physical order.
 *   Statuses: 9 at either end; 8 no physical place (24, 35); 22.
 * 27 Unlock: key_num >= 0 the block's single-record lock; -1 the multiple-record lock on
 *   the position in data_buf's first 4 bytes; -2 all the block's multiple-record locks.
 *   Statuses: 81 nothing of that kind is locked; 22 (-1 with < 4 bytes).
 * 25 Stop, 28 Reset: abort the calling client's transaction and close its files.
 * 26 Version: out 5 bytes: version u16, revision u16, 'L'. Statuses: 22 (< 5 bytes).
 * 29 Set Owner: key_buf (and data_buf) the name, NUL-terminated, 1 to 8 bytes; key_num
 *   the level: 0 the name is needed for any access, 1 reading allowed without it, 2 as 0
 *   with every record encrypted, 3 as 1 encrypted. The file must be open only through this
 *   block. The name is never stored. Statuses: 50 an owner is set; 41 inside a
 *   transaction; 51 no usable name; 6 a level outside 0 to 3; 85 the file is open
 *   elsewhere; 46.
 * 30 Clear Owner: removes the owner and decrypts the records. Statuses: 41; 46 (opened
 *   without the name); 85.
 * 44 Get By Percentage: data_buf's first 2 bytes 0 to 10000; key_num a key path or -1
 *   for physical order. Statuses: 9 empty; 6; 22; 1 a percentage over 10000.
 * 45 Find Percentage: out 2 bytes 0 to 10000 for the current record on key_num's path
 *   (-1 physical). Statuses: 8; 6; 22.
 * 53 Update Chunk: data_buf u32 subfunction, u32 count, then per chunk u32 offset,
 *   u32 length, u64 address (0x80000001: the chunk's bytes are at the address, in the
 *   caller's memory, which must hold them; 0x80000000: addresses ignored, the bytes follow
 *   the entries in data_buf). Writes those bytes of the current record; past the end grows
 *   a variable-length record. Statuses: 62 bad descriptor; 103 a chunk starting past the
 *   record's end, or past the fixed length of a fixed-length file; 8; 10; 5; 80; 46; 84;
 *   85; 18.
 * 55 to 63: Get Key forms of 5 to 13: key_buf only; an Update or Delete right after
 *   answers 8.
 * 98 Compact (this engine's own): rewrites the file into its smallest form, its records,
 *   keys, counters and owner as they are, without the free pages that deletes and updates
 *   left (later writes reuse those anyway). The copy is built beside the file
 *   ("<path>.compact"), synced, and put in its place by one rename: a crash leaves the old
 *   file or the new one whole. Other blocks and processes may keep the file open: writers
 *   and new opens wait while it runs, and every one of them goes on in the new file.
 *   Statuses: 41 inside a transaction; 46 read-only open; 85 another client's transaction
 *   held the file past the wait; 2; 18.
 */
enum {
  BTR_OPEN = 0,
  BTR_CLOSE = 1,
  BTR_INSERT = 2,
  BTR_UPDATE = 3,
  BTR_DELETE = 4,
  BTR_GET_EQUAL = 5,
  BTR_GET_NEXT = 6,
  BTR_GET_PREVIOUS = 7,
  BTR_GET_GREATER = 8,
  BTR_GET_GREATER_OR_EQUAL = 9,
  BTR_GET_LESS = 10,
  BTR_GET_LESS_OR_EQUAL = 11,
  BTR_GET_FIRST = 12,
  BTR_GET_LAST = 13,
  BTR_CREATE = 14,
  BTR_STAT = 15,
  BTR_BEGIN_TRANSACTION = 19,
  BTR_END_TRANSACTION = 20,
  BTR_ABORT_TRANSACTION = 21,
  BTR_GET_POSITION = 22,
  BTR_GET_DIRECT = 23,
  BTR_STEP_NEXT = 24,
  BTR_STOP = 25,
  BTR_VERSION = 26,
  BTR_UNLOCK = 27,
  BTR_RESET = 28,
  BTR_SET_OWNER = 29,
  BTR_CLEAR_OWNER = 30,
  BTR_STEP_FIRST = 33,
  BTR_STEP_LAST = 34,
  BTR_STEP_PREVIOUS = 35,
  BTR_GET_BY_PERCENTAGE = 44,
  BTR_FIND_PERCENTAGE = 45,
  BTR_UPDATE_CHUNK = 53,
  BTR_COMPACT = 98,     /* this engine's own */
  BTR_GET_KEY_BIAS = 50 /* 55 to 63 are 5 to 13 plus this */
};

/* Statuses the engine answers; each operation above lists where it uses them. */
enum {
  BTR_OK = 0,
  BTR_INVALID_FUNCTION = 1,     /* unknown operation, mode or argument */
  BTR_IO_ERROR = 2,             /* the storage failed or the file is damaged */
  BTR_FILE_NOT_OPEN = 3,        /* the position block does not check out */
  BTR_KEY_NOT_FOUND = 4,        /* Get Equal found no equal key */
  BTR_DUPLICATE_KEY = 5,        /* a unique key already holds the value */
  BTR_INVALID_KEY_NUMBER = 6,   /* the key number is not a key of the file */
  BTR_DIFFERENT_KEY_NUMBER = 7, /* Get Next / Previous on another key than the last Get */
  BTR_POSITION_NOT_SET = 8,     /* no current record (or it was reached key-only) */
  BTR_END_OF_FILE = 9,          /* nothing further in that direction */
  BTR_MODIFIABLE_KEY = 10,      /* Update changed a key that is not modifiable */
  BTR_INVALID_FILE_NAME = 11,
  BTR_FILE_NOT_FOUND = 12,
  BTR_DISK_FULL = 18,        /* the file could not grow; nothing was written */
  BTR_MANAGER_INACTIVE = 20, /* the engine is gone: the library is unloading or the process ends */
  BTR_KEY_BUFFER_SHORT = 21, /* key_len is smaller than the key */
  BTR_DATA_LENGTH = 22,      /* data_buf too small (reads copy what fits) or too short */
  BTR_POS_BLOCK_LENGTH = 23,
  BTR_PAGE_SIZE = 24,
  BTR_CANNOT_CREATE = 25,
  BTR_NUMBER_OF_KEYS = 26,
  BTR_KEY_POSITION = 27,
  BTR_RECORD_LENGTH = 28,
  BTR_KEY_LENGTH = 29,
  BTR_NOT_A_FILE = 30,            /* the file exists but is no record file of this engine */
  BTR_TRANSACTION_ACTIVE = 37,    /* Begin Transaction while one is active for this client */
  BTR_TRANSACTION_ERROR = 39,     /* End or Abort without an active transaction */
  BTR_OPERATION_NOT_ALLOWED = 41, /* Set or Clear Owner inside a transaction */
  BTR_INVALID_ADDRESS = 43,       /* Get Direct: no record at that position */
  BTR_INCONSISTENT_FLAGS = 45,
  BTR_ACCESS_DENIED = 46, /* a write on a read-only open or read-only storage */
  BTR_KEY_TYPE = 49,
  BTR_OWNER_SET = 50,     /* Set Owner on a file that has one */
  BTR_INVALID_OWNER = 51, /* the owner name is missing or wrong */
  BTR_FILE_EXISTS = 59,
  BTR_BAD_CHUNK = 62,         /* Update Chunk: the descriptor does not hold together */
  BTR_DEADLOCK = 78,          /* the wait would close a cycle of clients waiting on each other */
  BTR_CONFLICT = 80,          /* the record changed since this block read it */
  BTR_LOCK_ERROR = 81,        /* Unlock: nothing of that kind is locked */
  BTR_RECORD_IN_USE = 84,     /* another client holds the record */
  BTR_FILE_IN_USE = 85,       /* another client holds the file (its write gate) */
  BTR_INCOMPATIBLE_MODE = 88, /* an exclusive open stands in the way; on the server engine also
                                 any call but Close of a block whose open its new connection
                                 could not take back (another client's open stands in the way
                                 of it), until it can: nothing is read or written meanwhile */
  BTR_PERMISSION = 94,        /* the file lies on a network file system */
  BTR_SESSION_LOST = 95,      /* the server engine's connection dropped with a transaction open:
                                 the server rolled it back; answered once, by the next call. Or
                                 it dropped while a block held record locks: they are gone (not
                                 taken again, as another client may have locked and changed the
                                 records meanwhile); answered once, by that block's next call */
  BTR_COMMUNICATIONS = 96,    /* the server engine lost its connection or got no answer in time */
  BTR_NO_MEMORY = 101,   /* memory for the call (or for an owner name's key) could not be had */
  BTR_CHUNK_OFFSET = 103 /* Update Chunk past the record's end */
};

/* The plain entry point: a call of the process's default client. */
WBTRV32_API int16_t BTRCALL(uint16_t op, void* pos_block, void* data_buf, uint32_t* data_len,
                            void* key_buf, uint8_t key_len, int8_t key_num);

/* The same for the client named by the 16 bytes at client_id (NULL: the default client). */
WBTRV32_API int16_t BTRCALLID(uint16_t op, void* pos_block, void* data_buf, uint32_t* data_len,
                              void* key_buf, uint8_t key_len, int8_t key_num, void* client_id);

/* Notices of what the engine met and went on without, since it never prints: a shared
 * waits table it would not use (another user's, a link, the wrong size or header: waits are
 * then only bounded, deadlocks end after their bound instead of with 78), a shared file that
 * shrank under it. Copies the notices not yet taken into buf, each followed by a newline, as
 * many whole ones as fit with the closing NUL in len bytes, and returns how many it copied;
 * the others stay for the next call. Each notice is kept once per process, the first 16 only.
 * An extra of this engine beside the two entry points: a caller that loads an engine at run
 * time looks it up and does without it when it is not there. */
WBTRV32_API int32_t BTRNOTICES(char* buf, uint32_t len);

/* Function types for callers that load the library at run time. */
typedef int16_t (*BTRCALL_FN)(uint16_t, void*, void*, uint32_t*, void*, uint8_t, int8_t);
typedef int16_t (*BTRCALLID_FN)(uint16_t, void*, void*, uint32_t*, void*, uint8_t, int8_t, void*);
typedef int32_t (*BTRNOTICES_FN)(char*, uint32_t);

#ifdef __cplusplus
}
#endif

#endif /* VASTREL_WBTRV32_H */
