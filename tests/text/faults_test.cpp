// Bad surroundings: unwritable or vanishing standard output, unreadable
// files, and files past 4 GiB.  Each gives its message and status, never a hang.
#include "run_tool.h"
#include "wav_builder.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace wavgen;

namespace
{

std::string StereoWave(size_t audioBytes)
{
    return Wave(Chunk("fmt ", FmtBody(1, 2, 48000, 16)) + Chunk("data", NoiseBytes(audioBytes, 3)));
}

TEST(Faults, ClosedStandardOutputIsReported)
{
    TempDir dir;
    const std::string file = dir.Write("a.wav", StereoWave(1000));
    RunResult r = RunSondrel({"--data", file}, Stdout::Closed);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Writing output file: Bad file descriptor\n"), std::string::npos) << r.err;
    r = RunSondrel({file}, Stdout::Closed);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "+OK\nWriting output file: Bad file descriptor\n");
}

// A reader that stops early (`sondrel --data f.wav | head -c 4096`): with the
// usual SIGPIPE the program ends at once like any filter; with SIGPIPE ignored
// it reports the broken pipe.  Returns the wait status and standard error.
std::pair<int, std::string> RunIntoEarlyClosedPipe(const std::string& file, bool ignoreSigpipe)
{
    int out[2], err[2];
    EXPECT_EQ(pipe(out), 0);
    EXPECT_EQ(pipe(err), 0);
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGPIPE, ignoreSigpipe ? SIG_IGN : SIG_DFL);
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        execl(SONDREL_BINARY, SONDREL_BINARY, "--data", file.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    char buf[4096];
    size_t got = 0;
    while (got < sizeof buf) {
        ssize_t n = read(out[0], buf, sizeof buf - got);
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(out[0]);
    std::string errText;
    ssize_t n;
    while ((n = read(err[0], buf, sizeof buf)) > 0)
        errText.append(buf, static_cast<size_t>(n));
    close(err[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return {status, errText};
}

TEST(Faults, ReaderClosingThePipeEarlyEndsTheRun)
{
    TempDir dir;
    const std::string file = dir.Write("big.wav", StereoWave(8 << 20));
    auto [status, err] = RunIntoEarlyClosedPipe(file, false);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGPIPE) << status << err;
    std::tie(status, err) = RunIntoEarlyClosedPipe(file, true);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    EXPECT_NE(err.find("Writing output file: Broken pipe\n"), std::string::npos) << err;
    EXPECT_TRUE(err.ends_with("+OK\n")) << err;
}

TEST(Faults, UnreadableFileIsReported)
{
    TempDir dir;
    const std::string file = dir.Write("locked.wav", StereoWave(100));
    ASSERT_EQ(chmod(file.c_str(), 0), 0);
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    RunResult r;
    if (geteuid() == 0) {
        // Root reads anything; the check runs as an ordinary user instead.
        if (access("/usr/bin/setpriv", X_OK) != 0)
            GTEST_SKIP() << "running as root without setpriv to drop privileges";
        const std::string cmd = "setpriv --reuid=65534 --regid=65534 --clear-groups " +
                                ProgramForNobody() + " " + file + " 2>&1";
        FILE* p = popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        char buf[512];
        size_t n = fread(buf, 1, sizeof buf, p);
        r.err.assign(buf, n);
        int status = pclose(p);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (r.status == 127 || r.err.find("setpriv:") != std::string::npos)
            GTEST_SKIP() << "cannot run the program as an ordinary user here: " << r.err;
    } else {
        r = RunSondrel({file});
    }
    EXPECT_EQ(r.err, "Can't open file for reading: Permission denied\n+OK\n");
    EXPECT_EQ(r.status, 1);
}

TEST(Faults, OneBrokenOutputIsReportedOnce)
{
    TempDir dir;
    const std::string file = dir.Write("a.wav", Wave(Chunk("fmt ", FmtBody(1, 2, 48000, 16)) +
                                                     Chunk("iXML", std::string(100000, 'x')) +
                                                     Chunk("data", NoiseBytes(100000, 5))));
    RunResult r = RunSondrel({"--chunks", "--ixml", "--data", file}, Stdout::DevFull);
    EXPECT_EQ(r.status, 1);
    const std::string message = "Writing output file: No space left on device\n";
    const size_t first = r.err.find(message);
    ASSERT_NE(first, std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(message, first + 1), std::string::npos) << r.err;
}

// Reads that fail part-way, injected by a preloaded read(2) that fails once
// when the program has read `failAt` bytes of the file.  Each failure is
// reported, gives status 1, and the walk goes on where it can.
struct ReadFailure {
    const char* name;
    std::vector<std::string> options;
    long long failAt;
    std::string out;
    std::string err;
};

TEST(Faults, ReadFailuresAreReportedAndTheWalkGoesOn)
{
    // Bytes read before each chunk's body equal its offset while the walk
    // reads straight through: fmt body at 20, bext body at 44, data at 664.
    const std::string audio = NoiseBytes(3000, 9);
    const std::string bext = BextBody({"Take 1", "", "", "", "", 0, 1, "", "0123456789"});
    const std::string wave = Wave(Chunk("fmt ", FmtBody(1, 2, 48000, 16)) + Chunk("bext", bext) +
                                  Chunk("data", audio) + Chunk("LIST", "INFOabcd"));
    const std::string rf64 =
        Wave(Chunk("ds64", Ds64Body(0, 6, 0)) + Chunk("fmt ", FmtBody(1, 2, 48000, 16)) +
                 RawChunk("data", 0xFFFFFFFF, "abcdef"),
             "RF64");
    const std::string summary = "Chunk [fmt ]           16 bytes\n"
                                "Chunk [bext]          612 bytes\n"
                                "Chunk [data]         3000 bytes\n"
                                "Chunk [LIST]            8 bytes\n";
    const std::string io = "RIFFRead: Input/output error\n";
    const std::vector<std::pair<std::string, ReadFailure>> cases = {
        {wave,
         {"audio cut by a failure keeps what arrived",
          {"--data"},
          664 + 1000,
          audio.substr(0, 1000),
          "Allocating 393216 byte buffer\n" + io +
              "\rStreaming... 1000 of 3000 bytes ( 33%)\n"
              "WARNING: Incomplete data chunk (file truncated?)\n+OK\n"}},
        {wave, {"bext read fails", {"--chunks", "--bext"}, 44 + 100, summary, io + "+OK\n"}},
        {wave,
         {"chunk header read fails",
          {"--chunks"},
          36 + 3,
          "Chunk [fmt ]           16 bytes\n",
          io + "+OK\n"}},
        {rf64,
         {"ds64 read fails and the data size stays unknown",
          {"--chunks"},
          20 + 10,
          "Chunk [ds64]           28 bytes\nChunk [fmt ]           16 bytes\n",
          io + "+OK\n"}},
        // The export reads each header twice: fmt's dump starts after 20 bytes.
        {wave,
         {"export loses a byte before the last",
          {"--rawchunks"},
          20 + 10,
          "",
          io + "sondrel: Error: \nFailed to dump chunk\n"}},
    };
    TempDir dir;
    for (const auto& [bytes, c] : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.options;
        args.push_back(dir.Write("f.wav", bytes));
        RunResult r = RunSondrel(args, Stdout::Capture, ReadFailsAt(c.failAt));
        if (c.options[0] == std::string("--rawchunks")) {
            // The export lines hold only the bytes before the failure.
            EXPECT_TRUE(r.out.starts_with("com.velmarin.01=")) << r.out;
            EXPECT_EQ(r.out.size(), 16 + 2 * (1 + 10)) << r.out;
        } else {
            EXPECT_EQ(r.out, c.out);
        }
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, 1);
    }
}

// RF64 and BW64 files of 5 GiB made sparse, so they cost no disk: sizes come
// from ds64, the walk reaches the chunk after the audio, and streaming counts
// every byte.
TEST(Faults, FilesPastFourGigabytesAreListedAndStreamed)
{
    const uint64_t audio = 5ull << 30;
    for (const char* magic : {"RF64", "BW64"}) {
        SCOPED_TRACE(magic);
        TempDir dir;
        const std::string file = dir.path() + "/big.wav";
        ASSERT_TRUE(WriteSparseRf64(file, magic, audio, audio / 4, Chunk("LIST", "INFO")));
        RunResult r = RunSondrel({file});
        EXPECT_EQ(r.out, "Chunk [ds64]           28 bytes\n"
                         "Chunk [fmt ]           16 bytes\n"
                         "Chunk [data]   5368709120 bytes\n"
                         "Chunk [LIST]            4 bytes\n");
        const std::string finished = "\rStreaming... 5368709120 of 5368709120 bytes (100%)\n+OK\n";
        for (const auto& args : std::vector<std::vector<std::string>>{{"--data", "--dryrun", file},
                                                                      {"--data", file}}) {
            r = RunSondrel(args, Stdout::DevNull);
            EXPECT_EQ(r.status, 0);
            EXPECT_TRUE(r.err.starts_with("Allocating 393216 byte buffer\n"))
                << r.err.substr(0, 80);
            EXPECT_TRUE(r.err.ends_with(finished)) << r.err.substr(r.err.size() - 80);
            EXPECT_EQ(r.err.find("WARNING"), std::string::npos);
        }
    }
}

} // namespace
