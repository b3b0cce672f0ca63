// Blocks of a file written in block order.
#include "block_writer.h"

#include <unistd.h>

#include <cerrno>

#include "output_file.h"

namespace subdiv {

void block_writer_begin(block_writer* writer, int fd, uint64_t n_blocks,
                        const write_progress* progress)
{
    writer->fd = fd;
    writer->next_offset = 0;
    writer->positioned = output_positioned(fd, &writer->next_offset);
    writer->n_blocks = n_blocks;
    writer->error = 0;
    writer->turns.next = 0;
    writer->blocks_done = 0;
    writer->bytes = 0;
    writer->progress = progress;
}

int block_writer_end(block_writer* writer)
{
    if (writer->progress)
        writer->progress->report(writer->progress->context, writer->blocks_done.load(),
                                 writer->n_blocks, writer->bytes.load());
    // a positioned file's offset ends past the bytes, as sequential writes leave it
    if (writer->positioned && writer->error.load() == 0 &&
        lseek(writer->fd, off_t(writer->next_offset), SEEK_SET) < 0)
        return errno;
    return writer->error.load();
}

void block_out_begin(block_out* o, block_writer* writer, char* buffer, uint64_t size,
                     uint64_t block)
{
    o->start = o->p = buffer;
    o->full = buffer + size;
    o->writer = writer;
    o->block = block;
    o->holding = false;
    o->offset = 0;
}

bool block_writer_going(const block_writer* writer)
{
    return writer->error.load(std::memory_order_relaxed) == 0;
}

// Keeps the errno of a failed write, unless one failed before.
static void block_failed(block_writer* writer, int reason)
{
    int none = 0;
    if (reason) writer->error.compare_exchange_strong(none, reason, std::memory_order_relaxed);
}

// Writes the n bytes of the block's buffer at its place: in order after the
// blocks before it, or at its offset in a positioned file.
static void block_write(block_out* o, uint64_t n)
{
    block_writer* const writer = o->writer;
    if (!block_writer_going(writer)) return;
    const int reason = writer->positioned
                           ? output_write_at(writer->fd, o->start, n, o->offset)
                           : output_write_all(writer->fd, o->start, n);
    block_failed(writer, reason);
    o->offset += n;
    if (!reason) writer->bytes.fetch_add(n, std::memory_order_relaxed);
}

// Takes the block's turn: the blocks before it have their places.
static void block_take_turn(block_out* o)
{
    parallel_turn_wait(&o->writer->turns, o->block);
    o->holding = true;
    o->offset = o->writer->next_offset;
}

void block_flush(block_out* o)
{
    if (!o->holding) block_take_turn(o);
    block_write(o, uint64_t(o->p - o->start));
    o->p = o->start;
}

void block_end(block_out* o, uint32_t thread)
{
    block_writer* const writer = o->writer;
    const uint64_t n = uint64_t(o->p - o->start);
    if (!o->holding) block_take_turn(o);
    if (writer->positioned) {
        // the next block may start as soon as this one's end is known
        writer->next_offset = o->offset + n;
        parallel_turn_pass(&writer->turns);
        block_write(o, n);
    } else {
        block_write(o, n);
        parallel_turn_pass(&writer->turns);
    }
    o->p = o->start;
    const uint64_t done = writer->blocks_done.fetch_add(1, std::memory_order_relaxed) + 1;
    // the reports come from the thread that started the writing alone
    if (thread == 0 && writer->progress)
        writer->progress->report(writer->progress->context, done, writer->n_blocks,
                                 writer->bytes.load(std::memory_order_relaxed));
}

} // namespace subdiv
