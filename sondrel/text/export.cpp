// Raw chunk export.
#include "text/export.h"

#include "io.h"
#include "status.h"

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>

namespace sondrel {

namespace
{

static_assert(ExportKeyLength == 19);
constexpr size_t NonceIndex = 3;
constexpr uint32_t LineBytes = 32;

// Header, the largest body the walker exports (size field 4095) and its pad byte.
constexpr size_t DumpBlock = 8 + 4095 + 1;

void WriteHex(uint8_t byte)
{
    static constexpr char Digits[] = "0123456789ABCDEF";
    const char pair[2] = {Digits[byte >> 4], Digits[byte & 0x0F]};
    fwrite(pair, 1, sizeof pair, stdout);
}

// Drawn only when the first byte is exported, so a run with nothing to
// export leaves the generator alone.
uint8_t DrawNonce()
{
    srand(static_cast<unsigned>(static_cast<uint64_t>(time(nullptr)) & 0xFFFFFFFFu));
    int nonce = rand() % 127;
    return static_cast<uint8_t>(nonce == 0 ? 1 : nonce);
}

[[noreturn]] void FailedToDump()
{
    fputs("sondrel: Error: \nFailed to dump chunk\n", stderr);
    FatalStop();
}

} // namespace

void RC4Init(Rc4State& state, const uint8_t* keyBytes, size_t keyLength)
{
    assert(keyLength > 0);
    for (uint32_t n = 0; n < 256; n++)
        state.S[n] = static_cast<uint8_t>(n);
    uint32_t j = 0;
    for (uint32_t n = 0; n < 256; n++) {
        j = (j + state.S[n] + keyBytes[n % keyLength]) & 0xFF;
        std::swap(state.S[n], state.S[j]);
    }
    state.i = 0;
    state.j = 0;
}

uint8_t RC4Output(Rc4State& state)
{
    state.i = (state.i + 1) & 0xFF;
    state.j = (state.j + state.S[state.i]) & 0xFF;
    std::swap(state.S[state.i], state.S[state.j]);
    return state.S[(state.S[state.i] + state.S[state.j]) & 0xFF];
}

void outdump(ExportStream& e, uint8_t byte)
{
    if (e.CharCount % LineBytes == 0) {
        if (e.CharCount != 0)
            putchar('\n');
        e.LineCount++;
        printf("com.velmarin.%02d=", static_cast<int>(e.LineCount));
    }
    if (e.CharCount == 0) {
        e.key[NonceIndex] = DrawNonce();
        e.CharCount = 1;
        RC4Init(e.Rc4, e.key.data(), e.key.size());
        WriteHex(e.key[NonceIndex]); // the nonce stands in clear
    }
    // The count must never come back to 0, which would key the cipher again
    // mid-stream; 32 stands in for it, as 2^32 is a multiple of the line length.
    if (++e.CharCount == 0)
        e.CharCount = LineBytes;
    WriteHex(static_cast<uint8_t>(byte ^ RC4Output(e.Rc4)));
}

void RIFFDumpChunk(ExportStream& e, int fd, uint64_t offset, uint64_t steppedSize)
{
    if (!SeekTo(fd, offset)) {
        ReportError("RIFFDumpChunk");
        FailedToDump();
    }
    std::array<uint8_t, DumpBlock> buffer;
    uint64_t left = steppedSize + 8; // header, body and pad byte
    while (left > 0) {
        const size_t ask = left < DumpBlock ? static_cast<size_t>(left) : DumpBlock;
        const size_t got = RIFFRead(fd, buffer.data(), ask);
        for (size_t n = 0; n < got; n++)
            outdump(e, buffer[n]);
        left -= got;
        if (got == ask)
            continue;
        // Only the last byte may be missing (writers often end a file without
        // the pad byte of an odd body); it is exported as a zero byte.
        if (left != 1)
            FailedToDump();
        outdump(e, 0);
        left = 0;
    }
    if (!SeekTo(fd, offset + 8)) {
        ReportError("RIFFDumpChunk");
        FailedToDump();
    }
}

} // namespace sondrel
