// Blocks of a file made on several threads, each into its thread's buffer,
// and written in block order: the writing that the OBJ text and the PLY
// streams share.
#pragma once

#include <atomic>
#include <cstdint>

#include "parallel.h"

namespace subdiv {

// What a writing reports as it goes: report(context, blocks written, blocks
// in all, bytes written), on the thread that started the writing only, after
// each block of its own and once at the end.
struct write_progress {
    void (*report)(void* context, uint64_t blocks_done, uint64_t blocks_total, uint64_t bytes);
    void* context;
};

// A writing of n_blocks blocks to a file descriptor. A block takes its turn
// after every block before it. Into a pipe, a terminal or a file open to
// append, a block writes while it holds its turn. Into any other regular
// file the turn only hands on the offset where the next block starts: each
// block writes at its own offset once it has passed the turn on, so that one
// thread's copy into the file overlaps the others' making of theirs.
struct block_writer {
    int fd;
    bool positioned;           // fd takes writes at offsets
    uint64_t next_offset;      // positioned: where the block whose turn it is starts
    uint64_t n_blocks;
    std::atomic<int> error;    // the errno of the first write that failed, else 0
    parallel_turns turns;
    std::atomic<uint64_t> blocks_done, bytes;
    const write_progress* progress; // or null
};

// The bytes of one block: its thread's buffer, filled from start to p, with
// room for one more record past full.
struct block_out {
    char* start;
    char* p;
    char* full;
    block_writer* writer;
    uint64_t block;
    bool holding;     // the block holds its turn (once it had to write before its end)
    uint64_t offset;  // positioned, once holding: where the buffer's bytes go
};

// Starts a writing of n_blocks blocks to fd from its current offset;
// progress may be null.
void block_writer_begin(block_writer* writer, int fd, uint64_t n_blocks,
                        const write_progress* progress);

// Ends the writing once every block has ended: reports it whole, leaves a
// positioned file's offset at the end of what was written. Returns 0 or the
// errno of a write that failed (the blocks not yet written then were not).
int block_writer_end(block_writer* writer);

// Starts block `block` in the size bytes of buffer (past which the room for
// one record lies).
void block_out_begin(block_out* o, block_writer* writer, char* buffer, uint64_t size,
                     uint64_t block);

// Whether blocks should still be made: no write has failed.
bool block_writer_going(const block_writer* writer);

// Writes what the block holds before its end, taking its turn first and
// keeping it: the blocks after it start where it ends.
void block_flush(block_out* o);

// Room for one more line at p, the block's fill mark held in a local:
// the block flushed first when it is full. Returns the mark to go on from.
inline char* block_room(block_out* o, char* p)
{
    if (p < o->full) return p;
    o->p = p;
    block_flush(o);
    return o->p;
}

// Ends the block on thread `thread`: its last bytes written and its turn
// passed on (every block passes its turn, even after a failed write).
void block_end(block_out* o, uint32_t thread);

} // namespace subdiv
