// Audio streaming: the "data" chunk to standard output in blocks, as stored or
// mixed to 16-bit mono, with a progress line on standard error.
#include "text/stream.h"

#include "io.h"
#include "status.h"
#include "text/mono.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace sondrel {

namespace
{

// One buffer row per channel: 65,536 frames of 3-byte samples.
constexpr uint64_t BytesPerChannel = 196608;

// Largest buffer: 10,922 channels' worth, below the kernel's cap on one read
// (0x7FFFF000) and a whole multiple of 24.
constexpr uint64_t MaxBufferBytes = 2147352576;
static_assert(MaxBufferBytes == 10922 * BytesPerChannel && MaxBufferBytes % 24 == 0);
static_assert(MaxBufferBytes < 0x7FFFF000);

void MonoRefusal(const char* format, int value)
{
    fprintf(stderr, format, value);
    FatalStop();
}

// Mixing anything but integer PCM of 16 bits or more would turn it into noise.
void CheckMonoFormat(const WalkState& w)
{
    const WaveFormatRecord& f = w.format;
    if (f.nChannels == 0)
        MonoRefusal("sondrel: Error: Unknown number of channels\n", 0);
    const char* const notPCM =
        "sondrel: Error: Only PCM samples can be converted to mono (format 0x%04X not supported)\n";
    if (f.formatTag != 1 && f.formatTag != 0xFFFE)
        MonoRefusal(notPCM, f.formatTag);
    // Extensible float is the usual workstation format; the tag check alone
    // would let it through.
    if (f.formatTag == 0xFFFE && w.hasSubFormat && w.subFormatGroup != 1)
        MonoRefusal(notPCM, static_cast<int>(w.subFormatGroup & 0xFFFF));
    if (f.bitsPerSample < 16)
        MonoRefusal("sondrel: Error: Cannot convert %d-bit samples to mono\n", f.bitsPerSample);
}

// Channel count x 196,608 bytes, bounded so it never wraps nor exceeds what
// one read can deliver.  A data chunk before any "fmt " (0 channels) gets one
// channel's worth, so the stream still advances.
uint64_t BufferBytes(uint16_t channels)
{
    const uint64_t n = channels == 0 ? 1 : channels;
    if (n * BytesPerChannel <= MaxBufferBytes)
        return n * BytesPerChannel;
    return MaxBufferBytes - MaxBufferBytes % (n * 24);
}

// Writes straight to the descriptor: the audio skips stdio's copy, and
// flushing first keeps it after any text already printed.
bool WriteAudio(const unsigned char* p, size_t count)
{
    if (fflush(stdout) != 0)
        return false;
    while (count > 0) {
        ssize_t put = write(STDOUT_FILENO, p, count);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += put;
        count -= static_cast<size_t>(put);
    }
    return true;
}

struct Stream {
    int fd;
    unsigned char* buffer;
    uint64_t blockBytes; // bytes asked of each read
    int32_t bytesPerSample;
    int32_t channels;
    bool mono, dryRun;
};

void ShowProgress(uint64_t done, uint64_t total)
{
    fprintf(stderr, "\rStreaming... %llu of %llu bytes (%3d%%)",
            static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
            Percent64(done, total));
}

// Streams `total` bytes; returns true when the chunk was cut short.
bool StreamBlocks(const Stream& s, uint64_t total)
{
    uint64_t done = 0;
    while (done < total) {
        const uint64_t block = total - done < s.blockBytes ? total - done : s.blockBytes;
        // A truncated recording still delivers what it holds: the bytes that
        // arrived are counted, mixed and written before the loop ends.
        const size_t got = RIFFRead(s.fd, s.buffer, static_cast<size_t>(block));
        const bool cutShort = got != block;
        if (got == 0)
            return true;
        done += got;
        ShowProgress(done, total);
        size_t count = got;
        if (s.mono)
            count = static_cast<size_t>(
                PCMToMono(s.buffer, static_cast<int32_t>(got), s.bytesPerSample, s.channels));
        if (!s.dryRun && !WriteAudio(s.buffer, count)) {
            ReportWriteFailure();
            return done < total;
        }
        if (cutShort)
            return true;
    }
    return false;
}

} // namespace

int Percent64(uint64_t done, uint64_t total)
{
    if (done >= total)
        return 100;
    // Keeps done x 100 below 2^32.
    while (done > 42949671) {
        done >>= 1;
        total >>= 1;
    }
    return static_cast<int>(done * 100 / total);
}

void DataChunk(WalkState& w)
{
    if (w.options.mono)
        CheckMonoFormat(w);
    const uint64_t bufferBytes = BufferBytes(w.format.nChannels);
    fprintf(stderr, "Allocating %lu byte buffer\n", static_cast<unsigned long>(bufferBytes));
    auto* buffer = static_cast<unsigned char*>(malloc(bufferBytes));
    if (!buffer) {
        perror("Data buffer");
        FatalStop();
    }
    Stream s{w.fd(),
             buffer,
             bufferBytes,
             (w.format.bitsPerSample + 7) / 8,
             w.format.nChannels,
             w.options.mono,
             w.options.dryRun};
    // With --mono each block holds whole frames, so odd sample widths stay in
    // step from one block to the next.
    if (s.mono)
        s.blockBytes -= bufferBytes % (static_cast<uint64_t>(s.bytesPerSample) * s.channels);
    const bool incomplete = StreamBlocks(s, w.audioSize);
    free(buffer);
    fputc('\n', stderr);
    if (incomplete)
        fputs("WARNING: Incomplete data chunk (file truncated?)\n", stderr);
}

} // namespace sondrel
