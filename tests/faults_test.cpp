// Bad surroundings: unwritable or vanishing standard output, unreadable
// files, and files past 4 GiB.  Each gives its message and status, never a hang.
#include "run_tool.h"
#include "wav_builder.h"

#include <csignal>
#include <fcntl.h>
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
                                std::string(SONDREL_BINARY) + " " + file + " 2>&1";
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

// RF64 and BW64 files of 5 GiB made sparse, so they cost no disk: sizes come
// from ds64, the walk reaches the chunk after the audio, and streaming counts
// every byte.
TEST(Faults, FilesPastFourGigabytesAreListedAndStreamed)
{
    const uint64_t audio = 5ull << 30;
    for (const char* magic : {"RF64", "BW64"}) {
        SCOPED_TRACE(magic);
        TempDir dir;
        const std::string head =
            Wave(Chunk("ds64", Ds64Body(0, audio, audio / 4)) +
                     Chunk("fmt ", FmtBody(1, 2, 48000, 16)) + RawChunk("data", 0xFFFFFFFF, ""),
                 magic);
        const std::string tail = Chunk("LIST", "INFO");
        const std::string file = dir.Write("big.wav", head);
        int fd = open(file.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, tail.data(), tail.size(), static_cast<off_t>(head.size() + audio)),
                  static_cast<ssize_t>(tail.size()));
        close(fd);

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
