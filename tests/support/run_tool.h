// Runs the built sondrel binary on files made by the tests and captures what
// it writes, so tests compare standard output, standard error and the exit
// status exactly.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

struct RunResult {
    std::string out;
    std::string err;
    int status = -1; // exit status, or 128 + signal number (137 for a hang)
};

enum class Stdout { Capture, DevNull, DevFull, Closed };

// Where the program runs, besides its arguments.
struct Surroundings {
    std::string input = "/dev/null"; // standard input
    std::string folder;              // working folder; empty: the test's own
    bool asNobody = false;           // run by root: as an ordinary user (uid 65534)
    bool errTerminal = false;        // standard error a terminal (a raw pty)
    unsigned fileLimit = 0;          // RLIMIT_NOFILE; 0: unchanged
};

// Runs sondrel with `args` (not including argv[0]), with `env` entries
// ("NAME=value") added to its environment.
RunResult RunSondrel(const std::vector<std::string>& args, Stdout where = Stdout::Capture,
                     const std::vector<std::string>& env = {}, const Surroundings& around = {});

// The program as an ordinary user can run it: a copy in a folder anyone may
// enter when the build's own folder is private.
const std::string& ProgramForNobody();

// Runs `command` (its program looked up on PATH) the same way.
RunResult RunCommand(const std::vector<std::string>& command, Stdout where = Stdout::Capture,
                     const std::vector<std::string>& env = {}, const Surroundings& around = {});

// One whole-program case: a file and everything the program must answer.
struct FileCase {
    std::string what; // what is broken when the case fails
    std::string file; // the file's bytes
    std::string out;
    std::string err = "+OK\n";
    int status = 0;
    Stdout where = Stdout::Capture;
    std::vector<std::string> options = {}; // after the options all cases share
};

// Runs sondrel with `options`, each case's own options and its file; compares
// standard output, standard error and the exit status.
void ExpectCases(const std::vector<FileCase>& cases, const std::vector<std::string>& options);

// Environment for RunSondrel that makes the program's read(2) stop at byte
// `byte` of the file (of descriptor `fd` when given) and fail once there with
// EIO (tests/support/read_fault.cpp).
std::vector<std::string> ReadFailsAt(long long byte, int fd = -1);

// A file in a fresh temporary folder, removed with the folder when the test ends.
class TempDir
{
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // Writes `bytes` to `name` in the folder and returns the full path.
    std::string Write(std::string_view name, std::string_view bytes) const;

  private:
    std::string path_;
};

// Reads a whole file; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);

// Lower-case hex MD5 of `bytes` (OpenSSL's), as md5sum and ffmpeg print it.
std::string Md5Hex(std::string_view bytes);

// The 16 raw bytes of a hex digest, as an "MD5 " chunk stores them.
std::string DigestBytes(const std::string& hex);

// Upper-case hex of `n` bytes, as the record writes digests.
std::string HexOf(const void* bytes, size_t n);

// Runs `run` in this process with standard output going to a memory file;
// returns what it wrote.
std::string CaptureStdout(const std::function<void()>& run);
