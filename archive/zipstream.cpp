#include "archive/zipstream.h"

#include "archive/zipsignatures.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <sched.h>
#include <unistd.h>

namespace {

using namespace ZipSignature;
constexpr std::uint16_t kFlags = 0x0008 | 0x0800; // sizes in the data descriptor; UTF-8 names
constexpr std::uint16_t kDeflate = 8;
constexpr std::uint32_t kMax32 = 0xFFFFFFFFu;
constexpr std::size_t kPiece = 256 * 1024;
// Entries larger than this are deflated in blocks on several threads.
constexpr std::uint64_t kParallelFrom = 1024 * 1024;
// Deflate can grow incompressible data a little; an entry this close to 4 GiB gets ZIP64 sizes.
constexpr std::uint64_t kZip64Threshold = kMax32 - 64ull * 1024 * 1024;

void put16(std::string& out, std::uint16_t value)
{
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>(value >> 8));
}

void put32(std::string& out, std::uint32_t value)
{
    put16(out, static_cast<std::uint16_t>(value & 0xFFFF));
    put16(out, static_cast<std::uint16_t>(value >> 16));
}

void put64(std::string& out, std::uint64_t value)
{
    put32(out, static_cast<std::uint32_t>(value & kMax32));
    put32(out, static_cast<std::uint32_t>(value >> 32));
}

// MS-DOS date and time of the local time; 1980-01-01 for anything earlier.
void dosTime(std::int64_t mtime, std::uint16_t& time, std::uint16_t& date)
{
    const std::time_t when = static_cast<std::time_t>(mtime);
    std::tm t{};
    if (!localtime_r(&when, &t) || t.tm_year < 80) {
        time = 0;
        date = (1 << 5) | 1;
        return;
    }
    time = static_cast<std::uint16_t>((t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec / 2));
    date = static_cast<std::uint16_t>(((t.tm_year - 80) << 9) | ((t.tm_mon + 1) << 5) | t.tm_mday);
}

struct Deflater {
    z_stream stream{};
    bool ready = false;
    ~Deflater()
    {
        if (ready)
            deflateEnd(&stream);
    }
};


unsigned coresAvailable()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<unsigned>(CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

// Fills buffer with up to want bytes of fd (fewer only at its end); false on a read error.
bool readUpTo(int fd, unsigned char* buffer, std::size_t want, std::size_t& got, int& error)
{
    got = 0;
    while (got < want) {
        const ssize_t n = ::read(fd, buffer + got, want - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            error = errno;
            return false;
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// One entry's data deflated on several threads into one standard deflate stream, as parallel gzip
// tools do it: the data is cut into blocks; each block is primed with the 32 KiB before it as
// dictionary (so the matches that cross into it are still found) and ends byte-aligned with a sync
// flush, the last one with the final block; the blocks' CRC-32s are joined with crc32_combine. The
// calling thread reads the blocks and writes the results in order; a few blocks are in flight at
// once, so memory stays flat.
class BlockDeflater {
public:
    using Output = std::function<bool(const unsigned char* data, std::size_t size)>;

    BlockDeflater(int level, unsigned threads) : m_level(level)
    {
        for (unsigned i = 0; i < threads; ++i)
            m_workers.emplace_back([this] { work(); });
    }

    ~BlockDeflater()
    {
        {
            const std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_work.notify_all();
        for (std::thread& worker : m_workers)
            worker.join();
    }

    BlockDeflater(const BlockDeflater&) = delete;
    BlockDeflater& operator=(const BlockDeflater&) = delete;

    // Reads fd up to maxBytes and writes the deflate stream; false on a read, write or zlib error.
    bool run(int fd, std::uint64_t maxBytes, const Output& output, std::uint64_t& total, std::uint32_t& crc, int& error)
    {
        const std::size_t inFlight = m_workers.size() * 2 + 2;
        std::deque<std::shared_ptr<Job>> order; // read, not yet written
        crc = static_cast<std::uint32_t>(crc32(0L, Z_NULL, 0));
        total = 0;
        bool readAll = false;
        std::shared_ptr<Job> previous;
        for (;;) {
            while (!readAll && order.size() < inFlight) {
                auto job = std::make_shared<Job>();
                job->data.resize(kDictionary + kBlock);
                if (previous) {
                    // The previous block's last 32 KiB (or all of it and what it was primed with).
                    const std::size_t have = previous->dictionary + previous->size;
                    job->dictionary = std::min(kDictionary, have);
                    std::copy(previous->data.begin() + static_cast<std::ptrdiff_t>(have - job->dictionary),
                              previous->data.begin() + static_cast<std::ptrdiff_t>(have), job->data.begin());
                }
                const std::uint64_t left = maxBytes - total;
                const std::size_t want = left < kBlock ? static_cast<std::size_t>(left) : kBlock;
                if (!readUpTo(fd, job->data.data() + job->dictionary, want, job->size, error))
                    return false;
                total += job->size;
                // A full block may still be followed by the end: then an empty last block closes the stream.
                job->last = job->size < kBlock || total == maxBytes;
                readAll = job->last;
                previous = job;
                order.push_back(job);
                {
                    const std::lock_guard<std::mutex> lock(m_mutex);
                    m_queue.push_back(job);
                }
                m_work.notify_one();
            }
            if (order.empty())
                return true;
            const std::shared_ptr<Job> next = order.front();
            order.pop_front();
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_done.wait(lock, [&next] { return next->done; });
            }
            if (next->failed) {
                error = EIO;
                return false;
            }
            crc = static_cast<std::uint32_t>(crc32_combine(crc, next->crc, static_cast<z_off_t>(next->size)));
            if (!output(next->out.data(), next->outSize))
                return false;
            if (order.empty() && readAll)
                return true;
        }
    }

    // Large enough that the flushes cost well under 1 % of the size, small enough to share out.
    static constexpr std::size_t kBlock = 512 * 1024;

private:
    static constexpr std::size_t kDictionary = 32 * 1024;
    static constexpr std::size_t kSample = 16 * 1024;

    struct Job {
        std::vector<unsigned char> data; // the dictionary, then the block
        std::size_t dictionary = 0;
        std::size_t size = 0;
        bool last = false;
        std::vector<unsigned char> out;
        std::size_t outSize = 0;
        std::uint32_t crc = 0;
        bool done = false; // guarded by m_mutex
        bool failed = false;
    };

    void work()
    {
        // The level asked for; stored blocks for data it cannot shrink; a quick probe to tell.
        Deflater deflater, stored, probe;
        deflater.ready = deflateInit2(&deflater.stream, m_level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
        stored.ready = deflateInit2(&stored.stream, 0, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
        probe.ready = deflateInit2(&probe.stream, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
        std::vector<unsigned char> probeOut(deflateBound(&probe.stream, kSample) + 64);
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_work.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
                if (m_queue.empty())
                    return;
                job = m_queue.front();
                m_queue.pop_front();
            }
            const bool ready = deflater.ready && stored.ready && probe.ready;
            const bool ok = ready && compress(shrinks(probe.stream, probeOut, *job) ? deflater.stream : stored.stream, *job);
            {
                const std::lock_guard<std::mutex> lock(m_mutex);
                job->failed = !ok;
                job->done = true;
            }
            m_done.notify_all();
        }
    }

    // Whether deflate can shrink the block: three samples of it (start, middle, end), each with the
    // 32 KiB before it as dictionary, at the fastest level. Data that none of them shrinks by 1 %
    // (random bytes, compressed or encrypted memory) is stored: the level asked for would spend
    // several times as long to make it no smaller, and a stored block is what it would emit then.
    static bool shrinks(z_stream& stream, std::vector<unsigned char>& out, const Job& job)
    {
        if (job.size < 4 * kSample)
            return true;
        for (const std::size_t at : {std::size_t(0), job.size / 2, job.size - kSample}) {
            const std::size_t start = job.dictionary + at; // in job.data
            const std::size_t dictionary = std::min(start, kDictionary);
            if (deflateReset(&stream) != Z_OK ||
                (dictionary > 0 && deflateSetDictionary(&stream, job.data.data() + start - dictionary,
                                                        static_cast<uInt>(dictionary)) != Z_OK))
                return true;
            stream.next_in = const_cast<unsigned char*>(job.data.data() + start);
            stream.avail_in = static_cast<uInt>(kSample);
            stream.next_out = out.data();
            stream.avail_out = static_cast<uInt>(out.size());
            if (deflate(&stream, Z_SYNC_FLUSH) == Z_STREAM_ERROR)
                return true;
            const std::size_t produced = out.size() - stream.avail_out;
            if (produced < kSample - kSample / 100)
                return true;
        }
        return false;
    }

    static bool compress(z_stream& stream, Job& job)
    {
        unsigned char* block = job.data.data() + job.dictionary;
        job.crc = static_cast<std::uint32_t>(crc32(0L, block, static_cast<uInt>(job.size)));
        if (deflateReset(&stream) != Z_OK)
            return false;
        if (job.dictionary > 0 &&
            deflateSetDictionary(&stream, job.data.data(), static_cast<uInt>(job.dictionary)) != Z_OK)
            return false;
        // Room for incompressible data, the flush marker and the final block.
        job.out.resize(deflateBound(&stream, static_cast<uLong>(job.size)) + 64);
        stream.next_in = block;
        stream.avail_in = static_cast<uInt>(job.size);
        stream.next_out = job.out.data();
        stream.avail_out = static_cast<uInt>(job.out.size());
        const int rc = deflate(&stream, job.last ? Z_FINISH : Z_SYNC_FLUSH);
        if (rc == Z_STREAM_ERROR || stream.avail_in != 0 || stream.avail_out == 0 || (job.last && rc != Z_STREAM_END))
            return false;
        job.outSize = job.out.size() - stream.avail_out;
        return true;
    }

    int m_level;
    std::vector<std::thread> m_workers;
    std::mutex m_mutex;
    std::condition_variable m_work;
    std::condition_variable m_done;
    std::deque<std::shared_ptr<Job>> m_queue; // read, not yet taken by a worker
    bool m_stopping = false;
};

} // namespace

ZipStreamWriter::ZipStreamWriter(Output output, int level, unsigned threads)
    : m_output(std::move(output)), m_level(level), m_threads(threads == 0 ? coresAvailable() : threads)
{
}

bool ZipStreamWriter::deflateWhole(int fd, std::uint64_t maxBytes, Entry& entry)
{
    if (m_threads > 1 && maxBytes > kParallelFrom) {
        BlockDeflater blocks(m_level, m_threads);
        std::uint64_t total = 0;
        const bool ok = blocks.run(
            fd, maxBytes,
            [this, &entry](const unsigned char* data, std::size_t size) {
                entry.compressed += size;
                return write(reinterpret_cast<const char*>(data), size);
            },
            total, entry.crc, m_error);
        entry.size = total;
        return ok;
    }
    Deflater deflater;
    if (deflateInit2(&deflater.stream, m_level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        m_error = ENOMEM;
        return false;
    }
    deflater.ready = true;
    std::unique_ptr<unsigned char[]> in(new unsigned char[kPiece]);
    std::unique_ptr<unsigned char[]> out(new unsigned char[kPiece]);
    std::uint32_t crc = static_cast<std::uint32_t>(crc32(0L, Z_NULL, 0));
    std::uint64_t total = 0;
    bool atEnd = false;
    while (!atEnd) {
        const std::uint64_t left = maxBytes - total;
        const std::size_t want = left < kPiece ? static_cast<std::size_t>(left) : kPiece;
        ssize_t got = 0;
        if (want > 0) {
            do {
                got = ::read(fd, in.get(), want);
            } while (got < 0 && errno == EINTR);
            if (got < 0) {
                m_error = errno;
                return false;
            }
        }
        atEnd = got == 0;
        crc = static_cast<std::uint32_t>(crc32(crc, in.get(), static_cast<uInt>(got)));
        total += static_cast<std::uint64_t>(got);
        deflater.stream.next_in = in.get();
        deflater.stream.avail_in = static_cast<uInt>(got);
        do {
            deflater.stream.next_out = out.get();
            deflater.stream.avail_out = static_cast<uInt>(kPiece);
            const int rc = deflate(&deflater.stream, atEnd ? Z_FINISH : Z_NO_FLUSH);
            if (rc == Z_STREAM_ERROR) {
                m_error = EIO;
                return false;
            }
            const std::size_t produced = kPiece - deflater.stream.avail_out;
            if (!write(reinterpret_cast<const char*>(out.get()), produced))
                return false;
            entry.compressed += produced;
        } while (deflater.stream.avail_out == 0);
    }
    entry.size = total;
    entry.crc = crc;
    return true;
}

std::uint64_t ZipStreamWriter::entryBound(std::size_t nameBytes, std::uint64_t size)
{
    const std::uint64_t name = std::min<std::uint64_t>(nameBytes, 0xFFFF);
    // zlib's bound for stored blocks, and for every block of the threads its flush and end.
    const std::uint64_t blocks = size / BlockDeflater::kBlock + 2;
    const std::uint64_t deflated = size + (size >> 12) + (size >> 14) + (size >> 25) + 13 + blocks * 32;
    return (30 + name + 20) + deflated + 24 + (46 + name + 28);
}

bool ZipStreamWriter::write(const char* data, std::size_t size)
{
    if (size == 0)
        return true;
    if (!m_output(data, size)) {
        if (m_error == 0)
            m_error = errno != 0 ? errno : EIO;
        return false;
    }
    m_offset += size;
    return true;
}

bool ZipStreamWriter::write(const std::string& bytes)
{
    return write(bytes.data(), bytes.size());
}

bool ZipStreamWriter::addFile(const std::string& nameUtf8, int fd, std::uint64_t maxBytes, std::int64_t mtime,
                              Added* added)
{
    Entry entry;
    entry.name = nameUtf8.size() > 0xFFFF ? nameUtf8.substr(0, 0xFFFF) : nameUtf8;
    entry.offset = m_offset;
    entry.zip64 = maxBytes >= kZip64Threshold;
    dosTime(mtime, entry.time, entry.date);

    std::string header;
    put32(header, kLocalHeader);
    put16(header, entry.zip64 ? 45 : 20);
    put16(header, kFlags);
    put16(header, kDeflate);
    put16(header, entry.time);
    put16(header, entry.date);
    put32(header, 0); // CRC and sizes follow in the data descriptor
    put32(header, entry.zip64 ? kMax32 : 0);
    put32(header, entry.zip64 ? kMax32 : 0);
    put16(header, static_cast<std::uint16_t>(entry.name.size()));
    put16(header, entry.zip64 ? 20 : 0);
    header += entry.name;
    if (entry.zip64) {
        put16(header, 0x0001);
        put16(header, 16);
        put64(header, 0);
        put64(header, 0);
    }
    if (!write(header))
        return false;

    if (!deflateWhole(fd, maxBytes, entry))
        return false;

    std::string descriptor;
    put32(descriptor, kDataDescriptor);
    put32(descriptor, entry.crc);
    if (entry.zip64) {
        put64(descriptor, entry.compressed);
        put64(descriptor, entry.size);
    } else {
        put32(descriptor, static_cast<std::uint32_t>(entry.compressed));
        put32(descriptor, static_cast<std::uint32_t>(entry.size));
    }
    if (!write(descriptor))
        return false;
    if (added)
        *added = {entry.size, entry.crc};
    m_entries.push_back(std::move(entry));
    return true;
}

bool ZipStreamWriter::finish()
{
    const std::uint64_t directoryOffset = m_offset;
    for (const Entry& entry : m_entries) {
        const bool bigSizes = entry.zip64 || entry.size >= kMax32 || entry.compressed >= kMax32;
        const bool bigOffset = entry.offset >= kMax32;
        std::string extra;
        if (bigSizes || bigOffset) {
            std::string fields;
            if (bigSizes) {
                put64(fields, entry.size);
                put64(fields, entry.compressed);
            }
            if (bigOffset)
                put64(fields, entry.offset);
            put16(extra, 0x0001);
            put16(extra, static_cast<std::uint16_t>(fields.size()));
            extra += fields;
        }
        std::string header;
        put32(header, kCentralHeader);
        put16(header, (3 << 8) | 45); // made on Unix, by a ZIP64-aware writer
        put16(header, (bigSizes || bigOffset) ? 45 : 20);
        put16(header, kFlags);
        put16(header, kDeflate);
        put16(header, entry.time);
        put16(header, entry.date);
        put32(header, entry.crc);
        put32(header, bigSizes ? kMax32 : static_cast<std::uint32_t>(entry.compressed));
        put32(header, bigSizes ? kMax32 : static_cast<std::uint32_t>(entry.size));
        put16(header, static_cast<std::uint16_t>(entry.name.size()));
        put16(header, static_cast<std::uint16_t>(extra.size()));
        put16(header, 0); // no comment
        put16(header, 0); // disk
        put16(header, 0); // internal attributes
        put32(header, 0100644u << 16); // a plain file, rw-r--r--
        put32(header, bigOffset ? kMax32 : static_cast<std::uint32_t>(entry.offset));
        header += entry.name;
        header += extra;
        if (!write(header))
            return false;
    }
    const std::uint64_t directorySize = m_offset - directoryOffset;
    const std::uint64_t count = m_entries.size();
    const bool zip64 = count >= 0xFFFF || directoryOffset >= kMax32 || directorySize >= kMax32;
    std::string end;
    if (zip64) {
        const std::uint64_t zip64EndOffset = m_offset;
        put32(end, kZip64End);
        put64(end, 44);
        put16(end, (3 << 8) | 45);
        put16(end, 45);
        put32(end, 0);
        put32(end, 0);
        put64(end, count);
        put64(end, count);
        put64(end, directorySize);
        put64(end, directoryOffset);
        put32(end, kZip64Locator);
        put32(end, 0);
        put64(end, zip64EndOffset);
        put32(end, 1);
    }
    put32(end, kEnd);
    put16(end, 0);
    put16(end, 0);
    put16(end, zip64 ? 0xFFFF : static_cast<std::uint16_t>(count));
    put16(end, zip64 ? 0xFFFF : static_cast<std::uint16_t>(count));
    put32(end, zip64 ? kMax32 : static_cast<std::uint32_t>(directorySize));
    put32(end, zip64 ? kMax32 : static_cast<std::uint32_t>(directoryOffset));
    put16(end, 0);
    return write(end);
}
