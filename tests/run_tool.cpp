#include "run_tool.h"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

// Runs `args[0]` (looked up on PATH) with the rest as its arguments.
void ExecChild(const std::vector<std::string>& args, Stdout where, int outPipe, int errPipe,
               const std::vector<std::string>& env)
{
    for (const std::string& e : env)
        putenv(const_cast<char*>(e.c_str()));
    if (where == Stdout::Capture) {
        dup2(outPipe, 1);
    } else if (where == Stdout::Closed) {
        close(1);
    } else {
        int fd = open(where == Stdout::DevFull ? "/dev/full" : "/dev/null", O_WRONLY);
        dup2(fd, 1);
        close(fd);
    }
    dup2(errPipe, 2);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

// A run that takes longer than this is a hang: the child is killed.
constexpr int HangMilliseconds = 120000;

// Drains both pipes together so a child that fills one never blocks.
// Returns false when the child hung.
bool DrainPipes(int outFd, int errFd, RunResult& r)
{
    std::array<pollfd, 2> fds{{{outFd, POLLIN, 0}, {errFd, POLLIN, 0}}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open = 2;
    std::array<char, 65536> buf;
    while (open > 0) {
        int ready = poll(fds.data(), fds.size(), HangMilliseconds);
        if (ready == 0) {
            for (pollfd& p : fds)
                if (p.fd >= 0)
                    close(p.fd);
            return false;
        }
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (size_t i = 0; i < fds.size(); i++) {
            if (fds[i].fd < 0 || fds[i].revents == 0)
                continue;
            ssize_t n = read(fds[i].fd, buf.data(), buf.size());
            if (n > 0) {
                sinks[i]->append(buf.data(), static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                open--;
            }
        }
    }
    return true;
}

// Audio runs to megabytes: a difference is told by sizes, not printed.
void ExpectSameOutput(const std::string& out, const std::string& expected)
{
    if (out.size() <= 4096 && expected.size() <= 4096) {
        EXPECT_EQ(out, expected);
        return;
    }
    EXPECT_TRUE(out == expected) << "standard output differs: " << out.size() << " bytes, "
                                 << expected.size() << " expected";
}

} // namespace

RunResult RunSondrel(const std::vector<std::string>& args, Stdout where,
                     const std::vector<std::string>& env)
{
    std::vector<std::string> command = {SONDREL_BINARY};
    command.insert(command.end(), args.begin(), args.end());
    return RunCommand(command, where, env);
}

RunResult RunCommand(const std::vector<std::string>& command, Stdout where,
                     const std::vector<std::string>& env)
{
    RunResult r;
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0)
        return r;
    pid_t pid = fork();
    if (pid == 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        ExecChild(command, where, outPipe[1], errPipe[1], env);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    if (!DrainPipes(outPipe[0], errPipe[0], r))
        kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

void ExpectCases(const std::vector<FileCase>& cases, const std::vector<std::string>& options)
{
    TempDir dir;
    for (const FileCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = options;
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.push_back(dir.Write("case.wav", c.file));
        RunResult r = RunSondrel(args, c.where);
        ExpectSameOutput(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.status, c.status);
    }
}

std::vector<std::string> ReadFailsAt(long long byte)
{
    return {std::string("LD_PRELOAD=") + SONDREL_READ_FAULT,
            "SONDREL_FAIL_READ_AT=" + std::to_string(byte),
            // The preloaded library comes before the sanitizer runtime.
            "ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1"};
}

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "sondrel-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        perror("mkdtemp");
        abort();
    }
    path_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::Write(std::string_view name, std::string_view bytes) const
{
    std::string file = path_ + "/" + std::string(name);
    std::ofstream f(file, std::ios::binary);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return file;
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string CaptureStdout(const std::function<void()>& run)
{
    fflush(stdout);
    const int capture = memfd_create("sondrel-out", 0);
    if (capture < 0) {
        ADD_FAILURE() << "memfd_create: " << strerror(errno);
        return {};
    }
    const int saved = dup(STDOUT_FILENO);
    dup2(capture, STDOUT_FILENO);
    run();
    fflush(stdout);
    clearerr(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::string out(static_cast<size_t>(lseek(capture, 0, SEEK_END)), '\0');
    if (!out.empty()) {
        EXPECT_EQ(pread(capture, out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
    }
    close(capture);
    return out;
}

// MD5 as published (RFC 1321); only the tests use it.
std::string Md5Hex(std::string_view bytes)
{
    static const uint32_t K[64] = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
        0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
        0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
        0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
        0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
        0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
        0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
        0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
        0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
        0xeb86d391};
    static const int R[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                              5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                              4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                              6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
    std::string msg(bytes);
    uint64_t bitLength = static_cast<uint64_t>(bytes.size()) * 8;
    msg += static_cast<char>(0x80);
    while (msg.size() % 64 != 56)
        msg += '\0';
    for (int i = 0; i < 8; i++)
        msg += static_cast<char>((bitLength >> (8 * i)) & 0xFF);
    uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    for (size_t off = 0; off < msg.size(); off += 64) {
        uint32_t w[16];
        for (int i = 0; i < 16; i++) {
            const auto* p = reinterpret_cast<const unsigned char*>(msg.data() + off + 4 * i);
            w[i] = p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
        }
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
        for (int i = 0; i < 64; i++) {
            uint32_t f;
            int g;
            if (i < 16) {
                f = (b & c) | (~b & d);
                g = i;
            } else if (i < 32) {
                f = (d & b) | (~d & c);
                g = (5 * i + 1) % 16;
            } else if (i < 48) {
                f = b ^ c ^ d;
                g = (3 * i + 5) % 16;
            } else {
                f = c ^ (b | ~d);
                g = (7 * i) % 16;
            }
            uint32_t t = d;
            d = c;
            c = b;
            uint32_t x = a + f + K[i] + w[g];
            b = b + ((x << R[i]) | (x >> (32 - R[i])));
            a = t;
        }
        h[0] += a;
        h[1] += b;
        h[2] += c;
        h[3] += d;
    }
    char hex[33];
    for (int i = 0; i < 16; i++)
        snprintf(hex + 2 * i, 3, "%02x", (h[i / 4] >> (8 * (i % 4))) & 0xFF);
    return std::string(hex, 32);
}
