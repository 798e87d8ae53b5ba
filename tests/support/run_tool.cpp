#include "run_tool.h"

#include <cctype>
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace
{

// Standard input, folder, user, terminal and descriptor limit of the child;
// exits 126 when one cannot be set.
void Surround(const Surroundings& s, int errPipe, const char* terminal)
{
    const int in = open(s.input.c_str(), O_RDONLY);
    bool ok = in >= 0 && dup2(in, 0) == 0 && (s.folder.empty() || chdir(s.folder.c_str()) == 0);
    if (terminal) {
        const int tty = open(terminal, O_RDWR | O_NOCTTY);
        termios raw{};
        ok = ok && tty >= 0 && tcgetattr(tty, &raw) == 0;
        cfmakeraw(&raw); // "\n" stays "\n"
        ok = ok && tcsetattr(tty, TCSANOW, &raw) == 0 && dup2(tty, 2) == 2;
    } else {
        dup2(errPipe, 2);
    }
    const rlimit files{s.fileLimit, s.fileLimit};
    ok = ok && (s.fileLimit == 0 || setrlimit(RLIMIT_NOFILE, &files) == 0);
    if (s.asNobody && geteuid() == 0)
        ok = ok && setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
    if (!ok)
        _exit(126);
}

// Runs `args[0]` (looked up on PATH) with the rest as its arguments.
void ExecChild(const std::vector<std::string>& args, Stdout where, int outPipe, int errPipe,
               const std::vector<std::string>& env, const Surroundings& around,
               const char* terminal)
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
    Surround(around, errPipe, terminal);
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

// A copy of the program in a folder every user may enter, removed when the
// tests end.
class NobodysCopy
{
  public:
    NobodysCopy()
    {
        std::string folder =
            (std::filesystem::temp_directory_path() / "sondrel-nobody-XXXXXX").string();
        std::error_code e;
        if (mkdtemp(folder.data()) == nullptr || chmod(folder.c_str(), 0755) != 0 ||
            !std::filesystem::copy_file(SONDREL_BINARY, folder + "/sondrel", e) ||
            chmod((folder + "/sondrel").c_str(), 0755) != 0)
            return;
        folder_ = folder;
        path_ = folder + "/sondrel";
    }
    ~NobodysCopy()
    {
        if (!folder_.empty())
            std::filesystem::remove_all(folder_);
    }
    const std::string& path() const { return path_; }

  private:
    std::string folder_, path_ = SONDREL_BINARY;
};

} // namespace

const std::string& ProgramForNobody()
{
    static const NobodysCopy copy;
    return copy.path();
}

RunResult RunSondrel(const std::vector<std::string>& args, Stdout where,
                     const std::vector<std::string>& env, const Surroundings& around)
{
    // The build may sit in a folder only its owner enters (a clone in a
    // private home): an ordinary user runs a copy.
    std::vector<std::string> command = {around.asNobody && geteuid() == 0 ? ProgramForNobody()
                                                                          : SONDREL_BINARY};
    command.insert(command.end(), args.begin(), args.end());
    return RunCommand(command, where, env, around);
}

RunResult RunCommand(const std::vector<std::string>& command, Stdout where,
                     const std::vector<std::string>& env, const Surroundings& around)
{
    RunResult r;
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0)
        return r;
    // A terminal's reader end is read as the pipe's would be; it reports EIO
    // once the program has closed its side.
    const int master = around.errTerminal ? posix_openpt(O_RDWR | O_NOCTTY) : -1;
    const char* terminal =
        master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 ? ptsname(master) : nullptr;
    if (terminal) {
        close(errPipe[0]);
        errPipe[0] = master;
    } else if (master >= 0) {
        close(master);
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        ExecChild(command, where, outPipe[1], errPipe[1], env, around, terminal);
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

std::vector<std::string> ReadFailsAt(long long byte, int fd)
{
    return {std::string("LD_PRELOAD=") + SONDREL_READ_FAULT,
            "SONDREL_FAIL_READ_AT=" + std::to_string(byte),
            "SONDREL_FAIL_READ_FD=" + std::to_string(fd),
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

std::string HexOf(const void* bytes, size_t n)
{
    static constexpr char Digits[] = "0123456789ABCDEF";
    const auto* p = static_cast<const unsigned char*>(bytes);
    std::string s;
    for (size_t k = 0; k < n; k++)
        s += {Digits[p[k] >> 4], Digits[p[k] & 15]};
    return s;
}

std::string Md5Hex(std::string_view bytes)
{
    unsigned char d[16];
    EVP_Digest(bytes.data(), bytes.size(), d, nullptr, EVP_md5(), nullptr);
    std::string hex = HexOf(d, sizeof d);
    for (char& c : hex)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return hex;
}

std::string DigestBytes(const std::string& hex)
{
    std::string bytes;
    for (size_t n = 0; n + 1 < hex.size(); n += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(n, 2), nullptr, 16));
    return bytes;
}
