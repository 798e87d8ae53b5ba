// One read of the audio feeding the MD5, the loudness meter and the signal
// measures.  The reading thread reads and hashes, or measures the loudness
// when there is no hashing to do; a meter thread finds the true peak (and
// the loudness when the reader hashes), a few blocks behind, and the
// signal measures whenever there is such a thread: the MD5 alone keeps the
// reading thread as busy as the meter keeps its own.
#include "measure/audio_read.h"

#include "decode.h"
#include "io.h"
#include "measure/true_peak.h"

#include <openssl/evp.h>

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace sondrel {

namespace
{

constexpr uint32_t MinRate = 8000; // below, the weighting's 1.7 kHz shelf passes Nyquist
constexpr uint32_t MaxRate = 768000;
constexpr unsigned MaxChannels = 64;

constexpr size_t BlockBytes = 1 << 20; // ~1 MiB of whole frames per read
constexpr size_t RingBlocks = 4;       // read ahead of the meter
constexpr size_t PieceFrames = 2048;   // converted to float at a time

// Converts and measures the samples: the loudness and the true peak, on
// one thread or each side on its own, converting for itself.
class Meter
{
  public:
    explicit Meter(const AudioLayout& l)
        : kind_(KindOf(l)), channels_(l.channels), frameBytes_(l.blockAlign),
          loudness_(l.channels, l.sampleRate, l.channelMask), peak_(l.channels, l.channels),
          loudnessFloats_(PieceFrames * l.channels + LoudnessMeter::Overread),
          peakFloats_(PieceFrames * l.channels)
    {
    }
    void AddLoudness(const unsigned char* raw, size_t frames)
    {
        Convert(raw, frames, loudnessFloats_,
                [this](const float* f, size_t n) { loudness_.Add(f, n); });
    }
    void AddPeak(const unsigned char* raw, size_t frames)
    {
        Convert(raw, frames, peakFloats_, [this](const float* f, size_t n) { peak_.Add(f, n); });
    }
    void Add(const unsigned char* raw, size_t frames)
    {
        Convert(raw, frames, loudnessFloats_, [this](const float* f, size_t n) {
            loudness_.Add(f, n);
            peak_.Add(f, n);
        });
    }
    LoudnessFigures Finish() { return Rounded(loudness_.Figures(peak_.Finish())); }

  private:
    template <typename Measure>
    void Convert(const unsigned char* raw, size_t frames, std::vector<float>& floats,
                 Measure measure)
    {
        while (frames > 0) {
            const size_t n = std::min(frames, PieceFrames);
            ToFloat(kind_, raw, n * channels_, floats.data());
            measure(floats.data(), n);
            raw += n * frameBytes_;
            frames -= n;
        }
    }

    SampleKind kind_;
    unsigned channels_;
    size_t frameBytes_;
    LoudnessMeter loudness_;
    TruePeakMeter peak_;
    std::vector<float> loudnessFloats_, peakFloats_;
};

// Blocks passed from the reading thread to the meter's, in order.
class BlockRing
{
  public:
    struct Block {
        std::vector<unsigned char> bytes;
        size_t frames = 0;
        bool filled = false;
    };
    // One block when no meter thread reads behind: nothing to read ahead of.
    BlockRing(size_t blockBytes, size_t count) : count_(count)
    {
        for (size_t i = 0; i < count_; i++)
            ring_[i].bytes.resize(blockBytes);
    }
    // The block to read the index-th into, once the meter is done with it.
    Block& Empty(uint64_t index)
    {
        Block& b = ring_[index % count_];
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&b] { return !b.filled; });
        return b;
    }
    void Fill(Block& b, size_t frames)
    {
        std::lock_guard lock(mutex_);
        b.frames = frames;
        b.filled = true;
        changed_.notify_all();
    }
    // The index-th block, or null once the reader has closed and it is not there.
    Block* Filled(uint64_t index)
    {
        Block& b = ring_[index % count_];
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return b.filled || closed_; });
        return b.filled ? &b : nullptr;
    }
    void Done(Block& b)
    {
        std::lock_guard lock(mutex_);
        b.filled = false;
        changed_.notify_all();
    }
    void Close()
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        changed_.notify_all();
    }

  private:
    std::array<Block, RingBlocks> ring_;
    size_t count_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool closed_ = false;
};

struct CtxFree {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using Md5Ctx = std::unique_ptr<EVP_MD_CTX, CtxFree>;

Md5Ctx StartMd5()
{
    Md5Ctx ctx(EVP_MD_CTX_new());
    if (ctx && EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1)
        ctx.reset();
    return ctx;
}

std::optional<std::array<uint8_t, 16>> FinishMd5(EVP_MD_CTX* ctx)
{
    std::array<uint8_t, 16> digest{};
    unsigned size = 0;
    if (!ctx || EVP_DigestFinal_ex(ctx, digest.data(), &size) != 1 || size != digest.size())
        return std::nullopt;
    return digest;
}

// Reads in blocks of whole frames, hashing each and handing it to `measure`.
// Returns false when hashing failed.
template <typename Measure>
bool ReadAll(int fd, uint64_t offset, uint64_t bytes, BlockRing& blocks, size_t frameBytes,
             EVP_MD_CTX* md5, const MeasureRequest& request, MeasureResult& result, Measure measure)
{
    bool md5Ok = true;
    for (uint64_t index = 0; result.bytesRead < bytes; index++) {
        BlockRing::Block& b = blocks.Empty(index);
        const auto ask =
            static_cast<size_t>(std::min<uint64_t>(b.bytes.size(), bytes - result.bytesRead));
        const size_t got =
            ReadAt(fd, offset + result.bytesRead, b.bytes.data(), ask, &result.readError);
        result.bytesRead += got;
        if (md5 && got > 0)
            md5Ok = md5Ok && EVP_DigestUpdate(md5, b.bytes.data(), got) == 1;
        measure(b, got / frameBytes);
        if (request.progress)
            request.progress(result.bytesRead);
        if (got < ask)
            break; // the end of the file, or a read error
    }
    return md5Ok;
}

// What measures the audio, and on which thread.
struct Measures {
    std::optional<Meter> meter;
    std::optional<SignalMeter> signal;
    bool hashing = false;
    bool signalBehind = false; // the signal on the meter thread
};

// A meter thread a few blocks behind the reading one: the true peak, the
// loudness too when the reading thread hashes, and the signal when it is
// sent there.  None when no thread is to be had: the reading thread then
// measures everything.
std::thread StartMeter(BlockRing& blocks, Measures& m)
{
    try {
        return std::thread([&blocks, &m] {
            for (uint64_t i = 0; BlockRing::Block* b = blocks.Filled(i); i++) {
                if (m.meter && m.hashing)
                    m.meter->Add(b->bytes.data(), b->frames);
                else if (m.meter)
                    m.meter->AddPeak(b->bytes.data(), b->frames);
                if (m.signalBehind)
                    m.signal->Add(b->bytes.data(), b->frames);
                blocks.Done(*b);
            }
        });
    } catch (const std::system_error&) {
        return {};
    }
}

} // namespace

bool LoudnessMeasurable(const AudioLayout& l)
{
    return KindOf(l) != SampleKind::None && l.channels >= 1 && l.channels <= MaxChannels &&
           l.sampleRate >= MinRate && l.sampleRate <= MaxRate &&
           l.blockAlign == ExpectedBlockAlign(l.channels, l.bitsPerSample);
}

MeasureResult ReadAndMeasure(int fd, uint64_t offset, uint64_t bytes, const AudioLayout& layout,
                             const MeasureRequest& request)
{
    MeasureResult result;
    Md5Ctx md5 = request.md5 ? StartMd5() : nullptr;
    result.loudnessMeasurable = request.loudness && LoudnessMeasurable(layout);
    Measures m;
    if (result.loudnessMeasurable)
        m.meter.emplace(layout);
    if (request.signal && SignalMeasurable(layout))
        m.signal.emplace(layout);
    if (!md5 && !m.meter && !m.signal)
        return result; // nothing needs the audio
    m.hashing = md5 != nullptr;
    m.signalBehind = m.signal && (m.hashing || m.meter);

    // Blocks of whole frames, no larger than the audio.
    const size_t frameBytes = m.meter || m.signal ? layout.blockAlign : 1;
    const size_t block = request.blockBytes > 0 ? request.blockBytes : BlockBytes;
    size_t blockBytes = static_cast<size_t>(std::min<uint64_t>(std::max(block, frameBytes), bytes));
    blockBytes -= blockBytes % frameBytes;
    const bool meterThread = (m.meter || m.signalBehind) && bytes > blockBytes;
    BlockRing blocks(std::max(blockBytes, frameBytes), meterThread ? RingBlocks : 1);
    std::thread worker;
    if (meterThread)
        worker = StartMeter(blocks, m);
    bool hashed = false;
    {
        // The meter is stopped and waited for however the reading ends.
        struct Stop {
            BlockRing& blocks;
            std::thread& worker;
            ~Stop()
            {
                blocks.Close();
                if (worker.joinable())
                    worker.join();
            }
        } stop{blocks, worker};
        const bool threaded = worker.joinable();
        hashed = ReadAll(fd, offset, bytes, blocks, frameBytes, md5.get(), request, result,
                         [&](BlockRing::Block& b, size_t frames) {
                             if (threaded)
                                 blocks.Fill(b, frames);
                             // The meter only reads the block: the reading
                             // thread refills it after this.
                             const unsigned char* raw = b.bytes.data();
                             if (m.meter && !threaded)
                                 m.meter->Add(raw, frames);
                             else if (m.meter && !md5)
                                 m.meter->AddLoudness(raw, frames);
                             if (m.signal && !(threaded && m.signalBehind))
                                 m.signal->Add(raw, frames);
                         });
    }
    if (md5 && hashed)
        result.md5 = FinishMd5(md5.get());
    if (m.meter)
        result.loudness = m.meter->Finish();
    if (m.signal)
        result.signal = m.signal->Finish();
    return result;
}

} // namespace sondrel
