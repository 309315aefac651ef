// Runs the built program on real files in a temporary directory.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
const std::string NL = "\r\n";  // the platform's text-mode line end
constexpr int FILE_ERROR = -2;
constexpr bool ON_WINDOWS = true;
unsigned long process_id() { return GetCurrentProcessId(); }

std::string shell_quoted(const std::string& text) { return "\"" + text + "\""; }

std::string invoked_program()
{
    std::string path = LARKBOOK_PROGRAM;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

// cmd /c drops the first and the last quote of a command; give it a pair to drop.
// The wide call keeps every character of the paths.
int run_command(const std::string& command)
{
    std::string quoted = "\"" + command + " <NUL\"";
    std::wstring wide(quoted.size() + 1, L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, quoted.c_str(), -1, wide.data(), static_cast<int>(wide.size())) - 1);
    int status = _wsystem(wide.c_str());
    if (status == -1)  // no status of the program: cmd itself did not start
        ADD_FAILURE() << "could not start the command (" << std::strerror(errno) << "): " << command;
    return status;
}
#else
const std::string NL = "\n";
constexpr int FILE_ERROR = 254;  // -2 as the shell sees it
constexpr bool ON_WINDOWS = false;
unsigned long process_id() { return static_cast<unsigned long>(getpid()); }

std::string shell_quoted(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string invoked_program() { return LARKBOOK_PROGRAM; }

int run_command(const std::string& command)
{
    // Braced, so that a command ending in "| grep" still reads the pipe.
    int status = std::system(("{ " + command + "\n} </dev/null").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
#endif

std::string progress_for(long long found)
{
    return "Reading..found " + std::to_string(found) + " names." + NL + "Sorting..done." + NL + "Writing..done." + NL;
}

std::string bare_slots(int first_slot)
{
    std::string lines;
    for (int slot = first_slot; slot <= 100; ++slot)
        lines += std::to_string(slot) + NL;
    return lines;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; start < text.size(); start = end + NL.size()) {
        end = text.find(NL, start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

// Paths are kept as UTF-8 text here and made into file-system paths only where
// used, so that no character goes through the ANSI code page on Windows.
fs::path native(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

std::string utf8(const fs::path& path)
{
    std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

bool exists(const std::string& file) { return fs::exists(native(file)); }

// Names in cp1252 and far outside it, each a file name of its own.
const std::string UNICODE_NAMES[] = {"\u0160koda.txt",
                                     "Preise \u20ac.txt",
                                     "Telefonbuch \u2013 Kopie.txt",
                                     "\u0422\u0435\u043b\u0435\u0444\u043e\u043d.txt",
                                     "\u7535\u8bdd\u7c3f.txt",
                                     "\U0001F4DE.txt"};

struct run_result {
    int status;
    std::string out, err;
};

class Larkbook : public testing::Test {
protected:
    fs::path dir;

    void SetUp() override
    {
        std::random_device random;
        // With the process's id, for what clears the directories of killed tests.
        std::string name = "larkbook-test-" + std::to_string(process_id()) + "-";
        dir = fs::temp_directory_path() / (name + std::to_string(random()));
        ASSERT_TRUE(fs::create_directory(dir));
    }

    // Whatever a test did, no temporary output may be left behind.
    void TearDown() override
    {
        if (!ON_WINDOWS)  // whatever a row mounted, also where it failed before its own umount
            run_command("for m in $(findmnt -rn -o TARGET | grep -F " + shell_quoted(utf8(dir))
                        + " | sort -r); do umount -l \"$m\"; done");
        expect_no_leftovers(dir);
        remove_all(dir);
    }

    // A FUSE file system keeps a removed file that was still open under a hidden
    // name until it hears, a little later, that the file was closed.
    static void remove_all(const fs::path& where)
    {
        std::error_code error;
        for (int wait = 0; wait < 100 && (fs::remove_all(where, error), error); ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_FALSE(error) << error.message();
    }

    static void expect_no_leftovers(const fs::path& where)
    {
        for (const auto& file : fs::recursive_directory_iterator(where))
            EXPECT_EQ(utf8(file.path().filename()).find(".larkbook-"), std::string::npos) << file.path();
    }

    std::string path(const std::string& name) const { return utf8(dir / native(name)); }

    std::string write(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(native(path(name)), std::ios::binary) << bytes;
        return path(name);
    }

    static std::string contents(const std::string& file)
    {
        std::ifstream stream(native(file), std::ios::binary);
        std::ostringstream bytes;
        bytes << stream.rdbuf();
        return bytes.str();
    }

    // shell_setup runs first in the same shell (POSIX): limits, umask, a FIFO's reader.
    run_result run(const std::vector<std::string>& args, const std::string& stdout_path = "",
                   const std::string& shell_setup = "") const
    {
        std::string command = shell_setup + shell_quoted(invoked_program());
        for (const auto& arg : args)
            command.append(" ").append(shell_quoted(arg));
        std::string out = stdout_path.empty() ? path("stdout") : stdout_path;
        command.append(" >").append(shell_quoted(out)).append(" 2>").append(shell_quoted(path("stderr")));
        int code = run_command(command);
        return {code, stdout_path.empty() ? contents(out) : "", contents(path("stderr"))};
    }

    // Runs on a dump given as bytes; the sorted dump is left in "out.txt".
    run_result sort(const std::string& dump) const { return run({write("in.txt", dump), path("out.txt")}); }

#ifdef _WIN32
    PROCESS_INFORMATION started = {};

    // Starts the program on input and out.txt, with the wide command line and the
    // creation flags given; its texts go to "progress" where asked (standard error
    // too, unless errors is false). end_status waits for its end.
    bool start_on(const std::wstring& input, DWORD flags, bool progress = false, bool errors = true)
    {
        std::wstring command = L"larkbook.exe \"" + input + L"\" \"" + native(path("out.txt")).wstring() + L"\"";
        SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
        STARTUPINFOW start = {sizeof start};
        HANDLE texts = progress ? CreateFileW(native(path("progress")).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                              &inherited, CREATE_ALWAYS, 0, nullptr)
                                : nullptr;
        if (texts) {
            start.dwFlags = STARTF_USESTDHANDLES;
            start.hStdOutput = texts;
            start.hStdError = errors ? texts : nullptr;
        }
        bool started_here = CreateProcessW(native(LARKBOOK_PROGRAM).wstring().c_str(), command.data(), nullptr, nullptr,
                                           texts != nullptr, flags, nullptr, nullptr, &start, &started);
        if (texts)
            CloseHandle(texts);
        return started_here;
    }

    int end_status()
    {
        DWORD status = 0;
        WaitForSingleObject(started.hProcess, 10000);
        GetExitCodeProcess(started.hProcess, &status);
        CloseHandle(started.hProcess);
        CloseHandle(started.hThread);
        return static_cast<int>(status);
    }
#else
    // Starts the program without a shell, standard output on stdout_fd, standard
    // error in "stderr", for the tests that signal it or hand it a closed pipe.
    pid_t start(const std::vector<std::string>& args, int stdout_fd) const
    {
        std::vector<char*> argv = {const_cast<char*>(LARKBOOK_PROGRAM)};
        for (const auto& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        int err = open(path("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        pid_t child = fork();
        if (child == 0) {
            rlimit no_core = {0, 0};
            setrlimit(RLIMIT_CORE, &no_core);
            dup2(open("/dev/null", O_RDONLY), 0);
            dup2(stdout_fd, 1);
            dup2(err, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(err);
        return child;
    }
#endif
};

std::string numbered_dump(int count, const std::string& name_prefix, const std::string& line_end = "\n", int first = 0)
{
    std::string dump;
    for (int i = first; i < first + count; ++i)
        dump += std::to_string(i - first + 1) + " 555-" + std::to_string(i) + " " + name_prefix
            + std::to_string(1000 + i) + line_end;
    return dump;
}

// Shell: makes "in.txt" a FIFO that the run reads, and feeds it the dump only once
// the run has opened its output and is reading, after commands: another program at
// work during the run. The FIFO holds the run open, so nothing is left to chance. A
// run that never reads is given up on after 5 s; the helper holds none of the
// test's streams, so a failing row never holds the test up.
std::string meanwhile(const std::string& commands)
{
    return "mv in.txt dump && mkfifo in.txt && { (for i in $(seq 500); do grep -q Reading stdout && break; "
           "sleep 0.01; done && grep -q Reading stdout && "
        + commands + "; timeout 5 sh -c 'cat dump >in.txt') </dev/null >/dev/null 2>&1 & } && ";
}

const std::string as_other_user = "setpriv --reuid=5001 --regid=5001 --clear-groups ";
const std::string as_nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";

// The status with which a row's set-up says that the machine lacks what the row
// needs (chattr flags, default ACLs, an XFS image, a kernel guard as the row needs
// it); its shell function skip writes the reason first. The program never ends so.
constexpr int UNSUPPORTED = 77;
const std::string skip_function = "skip() { echo \"$*\" >\"$PWD/skipped\"; exit 77; }; ";

// Shell: the kernel's guards for links and files in sticky directories on, as
// Debian ships them, or off; a row is skipped where they are not. The tests never
// change them: .ci/run runs the suite with them on and the rows that need them off
// once more with them off.
std::string guards_are(bool on)
{
    return std::string("for g in fs.protected_symlinks fs.protected_regular fs.protected_fifos; do ")
        + "test $(sysctl -n $g) " + (on ? "!=" : "=") + " 0 || skip \"$g is " + (on ? "off" : "on")
        + " here\"; done && ";
}

// Shell: runs what follows under strace, which lists in file the calls named that
// the run makes on OUT's path or descriptor (output, in the test directory) and does
// inject to the first of them: "delay_exit=1000000" holds the run there for a
// second, "error=EIO" fails the call.
std::string at_first(const std::string& calls, const std::string& output, const std::string& inject,
                     const std::string& file = "held")
{
    return "strace --quiet=path-resolution -o " + file + " -P \"$PWD\"/" + output + " -e trace=" + calls
        + " -e inject=" + calls + ":" + inject + ":when=1 -E ASAN_OPTIONS=detect_leaks=0 ";  // no leak check under ptrace
}

// Shell: waits until the run is held (see at_first).
const std::string until_held = "for i in $(seq 500); do grep -q DELAYED held && break; sleep 0.01; done; ";

// Shell: holds the run for a second right after its first call of one of calls on
// OUT's path or descriptor, and at that very moment runs commands as another user:
// a race as a deterministic row.
std::string held_at(const std::string& calls, const std::string& output, const std::string& commands)
{
    return "{ (" + until_held + as_other_user + "sh -c " + shell_quoted(commands) + ") </dev/null >/dev/null 2>&1 & } && "
        + at_first(calls, output, "delay_exit=1000000");
}

// Shell: runs the program 150 times with each pair of arguments while another user
// repeats attack, then lets the attack finish its round and waits for it.
std::string while_attacked(const std::string& attack, const std::vector<std::string>& runs)
{
    std::string loop = "{ " + as_other_user + "timeout 120 sh -c "  // not past a test that was given up on
        + shell_quoted("until test -e stop; do " + attack + "; done 2>/dev/null") + " & } && for i in $(seq 150); do";
    for (const std::string& args : runs)
        loop.append(" ").append(shell_quoted(invoked_program())).append(" ").append(args).append(";");
    return loop + " done >/dev/null 2>&1; touch stop && wait && ";
}

// A table's rows, each a test of its own named after what it holds.
template <typename row> class Rows : public Larkbook, public testing::WithParamInterface<row> {
protected:
    // Skips the row where its set-up said the machine lacks what it needs.
    bool unsupported(const run_result& r) const
    {
        return r.status == UNSUPPORTED && exists(path("skipped"));
    }
};

template <typename row> std::string row_name(const testing::TestParamInfo<row>& info)
{
    std::string name;
    for (char c : std::string(info.param.what))
        name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
}

TEST_F(Larkbook, WrongArgumentCountPrintsBannerAndCreatesNothing)
{
    for (const auto& args :
         std::vector<std::vector<std::string>> {{}, {path("a")}, {path("a"), path("b"), path("c")}}) {
        run_result r = run(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "");
        std::vector<std::string> lines = lines_of(r.out);
        ASSERT_EQ(lines.size(), 4u) << r.out;
        EXPECT_EQ(lines[0].rfind("larkbook v.0.1", 0), 0u);
        EXPECT_EQ(lines[1].rfind(std::string(16, ' '), 0), 0u);
        EXPECT_NE(lines[1].find("MIT"), std::string::npos);
        EXPECT_EQ(lines[2], std::string(16, ' ') + "Sort textual phonebook dump made with cellpad(x)");
        EXPECT_EQ(lines[3], "Usage: " + invoked_program() + " <in-file> <out-file>");
        EXPECT_FALSE(exists(path("a")) || exists(path("b")) || exists(path("c")));
    }
}

struct open_failure {
    const char* what;
    std::string input, output;  // relative to the test directory, or a path of its own
    std::string message;        // %s: the output as given, %i: the input
    bool posix_only = false;
};

std::string too_long_path()  // past the longest path the system takes
{
    std::string path;
    for (int i = 0; i < 2100; ++i)
        path += "./";
    return path + "out";
}

const std::vector<open_failure> open_failures = {
    {"missing input", "missing.txt", "out.txt", "Unable to open input file: No such file or directory"},
    {"directory input", "folder", "out.txt", "Unable to open input file: Is a directory"},
    {"output in missing directory", "dump.txt", "nowhere/out.txt", "Unable to open output file: No such file or directory"},
    {"output is a directory", "dump.txt", "folder", "Unable to open output file: Is a directory"},
    {"output is a directory named with a slash", "dump.txt", "folder/", "Unable to open output file: Is a directory"},
    {"new output named with a slash", "dump.txt", "new/", "Unable to open output file: Is a directory", true},
    {"empty output path", "dump.txt", "", "Unable to open output file: No such file or directory"},
    {"output name too long", "dump.txt", std::string(256, 'n'), "Unable to open output file: File name too long"},
    {"output path too long", "dump.txt", too_long_path(), "Unable to open output file: File name too long", true},
    {"trailing slash on a file", "dump.txt", "dump.txt/", "Unable to open output file: Not a directory", true},
    {"standard output", "dump.txt", "stdout", "Unable to open output file: '%s' is also standard output"},
    {"input that is standard output, emptied by the shell", "stdout", "out.txt",
     "Unable to open input file: '%i' is also standard output"},
    {"standard error", "dump.txt", "/dev/fd/2", "Unable to open output file: '%s' is also standard error", true}};

using OpenFailure = Rows<open_failure>;
INSTANTIATE_TEST_SUITE_P(Larkbook, OpenFailure, testing::ValuesIn(open_failures), row_name<open_failure>);

TEST_P(OpenFailure, IsReportedWithoutTouchingAnyFile)
{
    const open_failure& c = GetParam();
    if (ON_WINDOWS && c.posix_only)
        GTEST_SKIP() << "no such path on Windows";
    write("dump.txt", "1 555 Bob\n");
    fs::create_directory(native(path("folder")));
    write("stdout", "");
    write("stderr", "");
    std::set<fs::path> before(fs::directory_iterator(dir), {});
    std::string output = c.output.empty() || c.output[0] == '/' ? c.output : path(c.output);
    run_result r = run({path(c.input), output});
    EXPECT_EQ(r.status, FILE_ERROR);
    EXPECT_EQ(r.out, "");
    std::string message = c.message;
    if (auto at = message.find("%s"); at != std::string::npos)
        message.replace(at, 2, output);
    if (auto at = message.find("%i"); at != std::string::npos)
        message.replace(at, 2, path(c.input));
    EXPECT_EQ(r.err, message + NL);
    EXPECT_EQ(std::set<fs::path>(fs::directory_iterator(dir), {}), before);
    EXPECT_EQ(contents(path("dump.txt")), "1 555 Bob\n");
}

#ifdef _WIN32
// Under Wine the same file is also reached through drive Z:, the Unix root.
std::string through_drive_z(const std::string& file)
{
    using unix_name_call = char*(CDECL*)(const wchar_t*);
    auto unix_name = reinterpret_cast<unix_name_call>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    char* name = unix_name ? unix_name(native(file).wstring().c_str()) : nullptr;
    if (!name)
        return "";
    std::string z = "Z:" + std::string(name);
    HeapFree(GetProcessHeap(), 0, name);
    if (auto at = z.find("/dosdevices/c:/"); at != std::string::npos)
        z.replace(at, 15, "/drive_c/");
    std::replace(z.begin(), z.end(), '/', '\\');
    return z;
}

std::string short_name(const std::string& file)
{
    wchar_t name[MAX_PATH];
    DWORD length = GetShortPathNameW(native(file).wstring().c_str(), name, MAX_PATH);
    return length > 0 && length < MAX_PATH ? utf8(fs::path(std::wstring(name, length))) : file;
}
#endif

TEST_F(Larkbook, SameFileAsInputAndOutputIsRefused)
{
    const std::string dump = "1 555 Zed\r\n2 556 Al\r\n";
    std::string input = write("dump.txt", dump);
    fs::create_directory(native(path("sub")));
    fs::create_hard_link(native(input), native(path("hard.txt")));
    std::vector<std::pair<std::string, std::string>> pairs = {{input, input},
                                                              {input, utf8(dir / "sub" / ".." / "." / "dump.txt")},
                                                              {input, path("hard.txt")},
                                                              {path("hard.txt"), input}};
    for (const std::string& name : UNICODE_NAMES)
        pairs.emplace_back(write(name, dump), path(name));
#ifdef _WIN32
    pairs.emplace_back(input, path("DUMP.TXT"));
    pairs.emplace_back(short_name(path(UNICODE_NAMES[2])), path(UNICODE_NAMES[2]));
    pairs.emplace_back(input, through_drive_z(input));
    pairs.emplace_back(through_drive_z(path(UNICODE_NAMES[5])), path(UNICODE_NAMES[5]));
#else
    fs::create_symlink(input, path("link.txt"));
    pairs.emplace_back(input, path("link.txt"));
    pairs.emplace_back(path("link.txt"), input);
    ASSERT_EQ(mkfifo(path("pipe").c_str(), 0666), 0);
    fs::create_symlink(path("pipe"), path("pipe-link"));
    pairs.emplace_back(path("pipe"), path("pipe"));  // would wait for a writer forever
    pairs.emplace_back(path("pipe"), path("pipe-link"));
#endif
    for (const auto& [in, out] : pairs) {
        SCOPED_TRACE(in + " -> " + out);
        run_result r = run({in, out});
        EXPECT_EQ(r.status, FILE_ERROR);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("the same file"), std::string::npos) << r.err;
        if (in.find("pipe") == std::string::npos) {
            EXPECT_EQ(contents(in), dump);
        }
    }
}

TEST_F(Larkbook, UnicodeNamesAreReadAndWrittenAsGiven)
{
    const std::string dump = "1 555 Zed\n2 556 Al\n";
    const std::string sorted = "1 556 Al" + NL + "2 555 Zed" + NL + bare_slots(3);
    for (std::size_t i = 0; i < std::size(UNICODE_NAMES); ++i) {
        const std::string& output = UNICODE_NAMES[(i + 1) % std::size(UNICODE_NAMES)];
        fs::remove(native(path(output)));
        run_result r = run({write(UNICODE_NAMES[i], dump), path(output)});
        EXPECT_EQ(r.status, 0) << UNICODE_NAMES[i] << r.err;
        EXPECT_EQ(contents(path(output)), sorted) << output;
    }
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& file : fs::directory_iterator(dir))
        ++files;
    EXPECT_EQ(files, std::size(UNICODE_NAMES) + 2) << "no look-alike names";  // and stdout, stderr
}

TEST_F(Larkbook, EmptyInputGivesOneHundredBareSlots)
{
    run_result r = sort("");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, progress_for(0));
    EXPECT_EQ(r.err, "Warning: the input holds no entry; '" + path("out.txt") + "' now holds 100 empty slots" + NL);
    EXPECT_EQ(contents(path("out.txt")), bare_slots(1));
}

TEST_F(Larkbook, SortsSmallCrLfDump)
{
    run_result r = sort("1 555-101 Zed\r\n2\r\n3 555-103 Al Jones\r\n4 555-104 alan\r\n5 555-105 Alan\r\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, progress_for(4));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(contents(path("out.txt")),
              "1 555-103 Al Jones" + NL + "2 555-105 Alan" + NL + "3 555-101 Zed" + NL + "4 555-104 alan" + NL
                  + bare_slots(5));
}

TEST_F(Larkbook, LfAndCrLfGiveTheSameOutput)
{
    ASSERT_EQ(sort(numbered_dump(30, "Name ", "\r\n")).status, 0);
    std::string from_crlf = contents(path("out.txt"));
    ASSERT_EQ(sort(numbered_dump(30, "Name ", "\n")).status, 0);
    EXPECT_EQ(contents(path("out.txt")), from_crlf);
    EXPECT_EQ(from_crlf.rfind("1 555-0 Name 1000" + NL, 0), 0u);
}

TEST_F(Larkbook, LastLineWithoutLineEndIsUsed)
{
    run_result r = sort("1 555-1 Zed\nZoe\n2 555-2 Al");
    EXPECT_EQ(r.out, progress_for(2));
    EXPECT_EQ(r.err, "Warning: 1 line is neither an entry nor an empty slot and was skipped: line 2" + NL);
    EXPECT_EQ(contents(path("out.txt")), "1 555-2 Al" + NL + "2 555-1 Zed" + NL + bare_slots(3));
}

TEST_F(Larkbook, TailOfALongLineIsNeverAnEntry)
{
    // The first 1023 characters hold the entry; the tail looks like an entry of its own.
    std::string line = "1 555 " + std::string(1017, 'A') + "x 999 Invented" + std::string(100000, 'y') + "\n";
    run_result r = sort(line + "2 556 Bob\n");
    EXPECT_EQ(r.out, progress_for(2));
    EXPECT_EQ(contents(path("out.txt")), "1 555 " + std::string(16, 'A') + NL + "2 556 Bob" + NL + bare_slots(3));
}

std::string utf16_dump(bool little_endian)
{
    std::string dump = little_endian ? "\xFF\xFE" : "\xFE\xFF";
    for (char c : std::string("1 555 Bob\r\n"))
        dump += little_endian ? std::string {c, '\0'} : std::string {'\0', c};
    return dump;
}

struct failure_case {
    const char* what;
    std::string input;  // a name in the test directory for dump, or a path of its own
    std::string dump;
    std::string shell_setup;  // POSIX only, run in the test directory; the row is skipped on Windows where set
    std::string out, err;
    // What the output is before the run; a file with another hard link keeps its
    // other name.
    std::vector<std::string> outputs = {"absent", "a file", "a file with another hard link"};
    std::string output = "out.txt";  // "full/…" is on a small file system that the setup fills
    // Windows, instead of shell_setup: "read-only" sets the output's attribute, "full"
    // fills drive M:, the small file system that the tests' set-up maps there.
    std::string on_windows = "";
};

const std::string read_refused = "Unable to read input file: ";
const std::string utf16_refused
    = read_refused + "it is UTF-16 text; save the dump as 8-bit text (ANSI or UTF-8) and run again" + NL;
std::string not_a_dump(int line)
{
    return read_refused + "line " + std::to_string(line)
        + " is not a phonebook entry; larkbook expects a slot number, a phone number and a name, separated by spaces"
        + NL;
}
const std::string until_writing = "Reading..found 1 names." + NL + "Sorting..done." + NL + "Writing.." + NL;
const std::string write_failed = "Unable to write output file: ";

std::string sorted_over_4_kib()  // longer than a stream's own buffer: nothing may reach the file before commit
{
    std::string dump;
    for (int i = 0; i < 100; ++i)
        dump += std::to_string(i + 1) + " " + std::string(32, '5') + " Name " + std::to_string(1000 + i) + "\n";
    return dump;
}

// Shell: fills the small file system "full" (a tmpfs of 64 KiB and 8 inodes), and
// then takes its last inodes too.
const std::string fill_blocks = "(cd full && mkdir fill && cat /dev/zero >fill/zeros) 2>/dev/null; ";
const std::string fill_disk = fill_blocks + "for i in 1 2 3 4 5 6 7 8; do touch full/fill/$i 2>/dev/null; done; ";
// Shell: the run fails the first call named on out.txt with EIO; "failed" lists each
// such call.
std::string failing(const std::string& call) { return at_first(call, "out.txt", "error=EIO", "failed"); }
const std::vector<std::string> every_output = {"absent", "a file", "a file with another hard link"};

const std::vector<failure_case> failure_cases = {
    {"read error", "/proc/self/mem", "", "", "Reading.." + NL,
     read_refused + (ON_WINDOWS ? "Invalid argument" : "Input/output error") + NL},
    {"UTF-16 little endian", "in.txt", utf16_dump(true), "", "Reading.." + NL, utf16_refused},
    {"UTF-16 big endian", "in.txt", utf16_dump(false), "", "Reading.." + NL, utf16_refused},
    {"UTF-16, both streams in one file", "in.txt", utf16_dump(true), "sh -c '\"$0\" \"$@\" 2>&1' ",
     "Reading.." + NL + utf16_refused, ""},
    // The first line that is no entry, past a blank one, is named.
    {"CSV or tab-separated text is not a dump", "in.txt", "\n1,555-123,Bob\n2\t555-124\tAl\n", "", "Reading.." + NL,
     not_a_dump(2)},
    {"UTF-16 without a byte order mark", "in.txt", utf16_dump(true).substr(2), "", "Reading.." + NL, utf16_refused},
    // The program itself turns the file-size limit into an error it reports.
    {"file too large", "in.txt", sorted_over_4_kib(),  // more than the 512 bytes a file may grow to
     "ulimit -f 1; ", "Reading..found 100 names." + NL + "Sorting..done." + NL + "Writing.." + NL,
     write_failed + "File too large" + NL},
    // Its streams go through a pipe, which the limit does not reach.
    {"a file may not grow at all", "in.txt", "1 555 Bob\n",
     "sh -c 's=\"$PWD/status\"; { prlimit --fsize=0 \"$0\" \"$@\" 2>&1; echo $? >\"$s\"; } | cat; exit $(cat \"$s\")' ",
     until_writing + write_failed + "File too large" + NL, ""},
    {"standard input named, but closed", "/dev/stdin", "", "sh -c '\"$0\" \"$@\" <&-' ", "",
     "Unable to open input file: Bad file descriptor" + NL},
    {"standard input and error closed, and no descriptor left for a file", "in.txt", "1 555 Bob\n",
     // A sanitizer's runtime needs descriptors of its own before the program starts.
     "sh -c 'grep -qa __asan_init \"$0\" && exit 77; prlimit --nofile=3 \"$0\" \"$@\" <&- 2>&-' ", "", ""},
    // What holds a closed stream's place takes no descriptor beyond it.
    {"standard input closed, and a descriptor left for the input only", "in.txt", "1 555 Bob\n",
     // A descriptor the test runner left open (ctest's log, 3) is closed first.
     "sh -c 'grep -qa __asan_init \"$0\" && exit 77; exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; "
     "prlimit --nofile=4 \"$0\" \"$@\" <&-' ",
     "", "Unable to open output file: Too many open files" + NL},
    {"output not writable by the user", "in.txt", "1 555 Bob\n", "chmod 777 . && " + as_nobody, "",
     "Unable to open output file: Permission denied" + NL, {"a file"}, "out.txt", "read-only"},
    {"a new file where the user may make none", "in.txt", "1 555 Bob\n", "chmod 755 . && " + as_nobody, "",
     "Unable to open output file: Permission denied" + NL, {"absent"}},
    {"no room and no inode left", "in.txt", "1 555 Bob\n", fill_disk, "",
     "Unable to open output file: No space left on device" + NL, every_output, "full/out.txt"},
    {"no room left", "in.txt", "1 555 Bob\n", fill_blocks, "",
     "Unable to open output file: No space left on device" + NL, every_output, "full/out.txt", "full"},
    {"no room left, where none can be reserved", "in.txt", "1 555 Bob\n", fill_blocks, "",
     "Unable to open output file: No space left on device" + NL, every_output, "full-nameless/out.txt"},
    // Where a step on OUT fails, its old bytes and length are put back, and a new
    // OUT is removed.
    {"a failed write puts the old bytes back", "in.txt", "1 555 Bob\n", failing("pwrite64"), until_writing,
     write_failed + "Input/output error" + NL},
    {"a failed cut puts the old bytes back", "in.txt", "1 555 Bob\n", failing("ftruncate"), until_writing,
     write_failed + "Input/output error" + NL},
    {"a failed flush puts the old bytes back", "in.txt", "1 555 Bob\n", failing("fsync"), until_writing,
     write_failed + "Input/output error" + NL},
    // A run held as it flushes, while another program moves OUT away: the moved file
    // gets its bytes back, and the dump goes to no other name.
    {"OUT moved away during the run keeps its bytes", "in.txt", "1 555 Bob\n",
     "chmod 777 . && " + held_at("fsync", "out.txt", "mv out.txt moved && cat moved >copy"), until_writing,
     write_failed + "another program is using it; close it there and run again" + NL, {"a file"}}};

using FailedRun = Rows<failure_case>;
INSTANTIATE_TEST_SUITE_P(Larkbook, FailedRun, testing::ValuesIn(failure_cases), row_name<failure_case>);

TEST_P(FailedRun, LeavesTheOutputAsItWas)
{
    const failure_case& c = GetParam();
    if (ON_WINDOWS && !c.shell_setup.empty() && c.on_windows.empty())
        GTEST_SKIP() << "a POSIX set-up";
    std::string input = c.dump.empty() ? c.input : write(c.input, c.dump);
    std::string output = ON_WINDOWS && c.on_windows == "full" ? "M:\\" + c.output.substr(5) : path(c.output);
    // "full-nameless" shows "full" on a file system that cannot reserve room.
    if (!ON_WINDOWS && c.output.rfind("full", 0) == 0) {
        fs::create_directory(native(path("full")));
        ASSERT_EQ(run_command("cd " + shell_quoted(path("")) + " && mount -t tmpfs -o size=64k,nr_inodes=8 larkbook full"
                              " && mkdir full-nameless && bindfs full full-nameless"),
                  0);
    }
    for (const std::string& before : c.outputs) {
        SCOPED_TRACE("the output " + before);
        fs::path out = native(output);
        fs::remove(out);
        fs::remove(out.parent_path() / "hard.txt");
        fs::remove_all(out.parent_path() / "fill");
        bool existed = before != "absent";
        if (existed)
            std::ofstream(out, std::ios::binary) << "precious\n" << std::string(400, 'p');
        if (before == "a file with another hard link") {
            fs::create_hard_link(out, out.parent_path() / "hard.txt");
        }
        if (ON_WINDOWS && c.on_windows == "read-only")
            fs::permissions(out, fs::perms::owner_write, fs::perm_options::remove);
        if (ON_WINDOWS && c.on_windows == "full" && fs::create_directory(out.parent_path() / "fill")) {
            std::ofstream zeros(out.parent_path() / "fill" / "zeros", std::ios::binary);
            for (std::string block(4096, '\0'); zeros.write(block.data(), block.size()) && zeros.flush();) { }
        }
        std::string setup = c.shell_setup.empty() ? "" : "cd " + shell_quoted(path("")) + " && " + c.shell_setup;
        run_result r = run({input, output}, "", ON_WINDOWS ? "" : setup);
        if (r.status == UNSUPPORTED)
            GTEST_SKIP() << "a sanitizer's runtime needs descriptors of its own";
        std::error_code moved;
        if (existed)
            fs::permissions(out, fs::perms::owner_write, fs::perm_options::add, moved);  // to be removed
        EXPECT_EQ(r.status, FILE_ERROR);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
        std::string old = "precious\n" + std::string(400, 'p');
        std::string kept = exists(path("moved")) ? path("moved") : output;
        EXPECT_EQ(exists(kept), existed);
        if (existed) {
            EXPECT_EQ(contents(kept), old);
        }
        if (kept != output) {
            EXPECT_FALSE(exists(output));
        }
        if (existed && exists(path("failed"))) {  // the failed step, and the same step as the old bytes go back
            EXPECT_EQ(run_command("test $(grep -c '(' " + shell_quoted(path("failed")) + ") = 2"), 0);
        }
        if (exists(path("copy"))) {  // what the moved file held while the run was held
            EXPECT_EQ(contents(path("copy")), "1 555 Bob\n" + bare_slots(2));
        }
    }
}

#ifndef _WIN32
TEST_F(Larkbook, InterruptedRunLeavesTheOutputAsItWas)
{
    ASSERT_EQ(mkfifo(path("slow-input").c_str(), 0666), 0);
    // SIGKILL cannot be caught: a new OUT it ends stays, empty, as the shell's would.
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPWR, SIGRTMAX, SIGKILL}) {
        for (bool existed : {false, true}) {
            if (signal_number == SIGKILL && !existed)
                continue;
            SCOPED_TRACE(std::string(strsignal(signal_number)) + (existed ? ", over out.txt" : ", no out.txt"));
            fs::remove(path("out.txt"));
            if (existed)
                write("out.txt", "precious\n");
            int progress = open(path("progress").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            pid_t child = start({path("slow-input"), path("out.txt")}, progress);
            close(progress);
            int writer = open(path("slow-input").c_str(), O_WRONLY);  // once the program is reading
            ASSERT_EQ(::write(writer, "1 555 Bob\n", 10), 10);
            for (int wait = 0; wait < 500 && contents(path("progress")) != "Reading.."; ++wait)
                usleep(10000);  // the output is open, the input half read
            kill(child, signal_number);
            int status = 0;
            waitpid(child, &status, 0);
            close(writer);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << status;
            EXPECT_EQ(exists(path("out.txt")), existed);
            if (existed) {
                EXPECT_EQ(contents(path("out.txt")), "precious\n");
            }
        }
    }
    // Runs the program on in.txt and output, holds it at the first of the calls
    // named on OUT, and tells it to end there; the shell's status of the run.
    auto told_to_end = [&](const std::string& calls, const std::string& output) {
        return run_command("cd " + shell_quoted(path("")) + " && rm -f held && { "
                           + at_first(calls, output, "delay_exit=1000000") + shell_quoted(LARKBOOK_PROGRAM)
                           + " in.txt " + output + " >/dev/null 2>&1 & s=$!; " + until_held
                           + "kill -TERM $(pgrep -P $s); wait $s; }");
    };
    // Told to end while it writes a file in place, over 100 old lines, the run ends
    // only once the file holds the whole dump and nothing else.
    write("out.txt", numbered_dump(100, "Old"));
    fs::create_hard_link(native(path("out.txt")), native(path("hard.txt")));
    write("in.txt", "1 555 Bob\n");
    EXPECT_EQ(told_to_end("pwrite64", "out.txt"), 128 + SIGTERM);
    EXPECT_EQ(contents(path("out.txt")), "1 555 Bob\n" + bare_slots(2));
    // Told to end as it flushes a new OUT, the run keeps the file, which holds the
    // dump, and ends by that signal once the dump is in place.
    EXPECT_EQ(told_to_end("fsync", "new.txt"), 128 + SIGTERM);
    EXPECT_EQ(contents(path("new.txt")), "1 555 Bob\n" + bare_slots(2));
}
#endif

struct placement_case {
    const char* what;
    std::string output;        // a name in the test directory, or a path of its own; "<4095>": a path of 4,095 bytes
    std::string shell_setup;   // run in the test directory first; the case is POSIX only where set
    std::string sorted_in;     // the file that must then hold the sorted dump, if any
    std::string check = "";    // a shell command run in the test directory afterwards, which must succeed
    bool hard_linked = false;  // the output exists, longer than the dump, with a second name "hard.txt"
    std::string err = "";      // and a file error, where set
    unsigned attributes = 0;   // Windows only: file attributes set before and kept
    // Windows, instead of shell_setup: the test holds the output open with these
    // FILE_SHARE_ flags: 1 reading, 3 reading and writing, 7 all, and locked; 8:
    // all, and mapped.
    unsigned held = 0;
};

const std::string mode_is_640 = "test $(stat -c %a out.txt) = 640";
const std::string permission_denied = "Unable to open output file: Permission denied";
const std::string in_use = "Unable to open output file: another program is using it; close it there and run again";
const std::string in_use_at_write = "Unable to write output file: another program is using it; close it there and run again";
// Lists the calls named after it in "trace", where the sanitized program can run too.
const std::string traced = "strace -o trace -E ASAN_OPTIONS=detect_leaks=0 -e trace=";
// Shell: the output's inode number, kept in "i", and the check that it is still OUT's.
const std::string inode_noted = "ls -i out.txt >i && ";
const std::string same_inode = "test \"$(ls -i out.txt)\" = \"$(cat i)\"";
// Shell: another program's lock on out.txt, held until "done" appears: a POSIX
// record lock (lockf, fcntl) taken with perl, or a lease.
std::string locked_by_perl(const std::string& open_mode, const std::string& take)
{
    return "{ perl -MFcntl -e 'open(F, \"" + open_mode + "out.txt\"); " + take + " && open(M, \">locked\") && close(M); "
           "select(undef, undef, undef, 0.01) until -e q(done); close(F); unlink(q(locked))' >/dev/null 2>&1 & } && "
           "for i in $(seq 300); do test -e locked && break; sleep 0.01; done && ";
}
const std::string lock_released = "; s=$?; touch done; for i in $(seq 500); do test -e locked || break; sleep 0.01; done; exit $s";

// Shell: another user's two files in a sticky directory trade names again and
// again, through the C library's call, while the program runs 150 times on one.
const std::string trading_names = "cp " LARKBOOK_EXCHANGE " exchange && mkdir -m 1777 s && " + as_other_user
    + "sh -c 'echo theirs >s/out.txt; echo theirs >s/b' && "
    + while_attacked("./exchange s/out.txt s/b --until stop", {"in.txt s/out.txt"});

const std::vector<placement_case> placement_cases = {
    {"a file written in place keeps all it is: inode, links, owner, mode, ACL, attributes and flags", "out.txt",
     "echo old >out.txt && ln out.txt hard && chown 65534:65534 out.txt && chmod 6640 out.txt && "
     "setfacl -m u:nobody:rw-,g:users:r-- out.txt && setfattr -n user.note -v kept out.txt && "
     "setfattr -n trusted.note -v kept out.txt && setfattr -n security.note -v kept out.txt; "
     "chattr +d out.txt 2>/dev/null && touch has-flags; getfacl -c out.txt >acl && " + inode_noted,
     "hard",
     same_inode + " && test $(stat -c %u:%g:%a:%h out.txt) = 65534:65534:6660:2 && getfacl -c out.txt | cmp - acl && "
     "getfattr -d -m - out.txt | grep -c '=\"kept\"' | grep -qx 3 && { test ! -e has-flags || lsattr out.txt | grep -q '^[^ ]*d'; }"},
    {"an XFS project id, flags and extent-size hint are kept", "x/out.txt",
     "{ command -v mkfs.xfs >/dev/null || skip no mkfs.xfs here; } && truncate -s 300M img && mkfs.xfs -q img && "
     "mkdir x && { mount -o loop img x 2>/dev/null || skip no loop device here; } && : >x/out.txt && "
     "xfs_io -c 'chproj 42' -c 'extsize 64k' -c 'chattr +S' x/out.txt && echo old >x/out.txt && ",
     "x/out.txt", "xfs_io -c lsproj -c extsize -c lsattr x/out.txt >attrs; umount x; grep -q 'projid = 42' attrs && "
     "grep -q 65536 attrs && grep -q '^[^ ]*S' attrs"},
    {"a new file gets 0666 less the umask", "out.txt", "umask 027; ", "out.txt", mode_is_640},
    {"a new file may have a name of 255 bytes", std::string(255, 'n'), "", std::string(255, 'n')},
    {"a new file gets the directory's default ACL", "out.txt",
     "umask 022; { setfacl -d -m o::- . && : >acl && test $(stat -c %a acl) = 640 || skip no default ACLs here; } 2>/dev/null && ",
     "out.txt", mode_is_640},
    {"a new file is flushed, and its directory with it", "out.txt", traced + "fsync ", "out.txt",
     "test $(grep -c '^fsync(' trace) = 2"},
    {"a symbolic link stays and its file is written", "link.txt",
     "echo old >target.txt; ln -s target.txt link.txt; ", "target.txt", "test -L link.txt"},
    {"a dangling link gets its file", "link.txt", "ln -s new.txt link.txt; ", "new.txt", "test -L link.txt"},
    {"a FIFO with a reader is written", "out.fifo", "mkfifo out.fifo; cat out.fifo >copy & ", "copy"},
    {"a file is written from its first byte, cut to length and flushed, in that order", "out.txt",
     traced + "pwrite64,ftruncate,fsync ", "hard.txt",
     "test \"$(cut -d'(' -f1 trace | head -3 | tr '\\n' ' ')\" = 'pwrite64 ftruncate fsync '", true},
    {"the null device", ON_WINDOWS ? "NUL" : "/dev/null", "", ""},
    {"a full device", "/dev/full", "", "", "", false, "Unable to write output file: No space left on device"},
    {"a file in someone else's sticky directory is written in place", "out.txt",
     "chmod 1777 . && echo old >out.txt && chmod 666 out.txt && " + as_nobody, "out.txt"},
    {"a file reached through 40 symbolic links is written", "t40",
     "echo old >t0; for i in $(seq 40); do ln -s t$((i - 1)) t$i; done; ls -i t0 >inode; ", "t0",
     "test \"$(ls -i t0)\" = \"$(cat inode)\""},
    {"a file keeps its hidden and system attributes", "out.txt", "", "out.txt", "", false, "",
     6},  // FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM
    {"a file written in place that another program holds locked is refused at once", "out.txt",
     "exec 9>>out.txt && flock 9 && ", "", "! grep -q Al hard.txt", true, in_use, 0, 7},
    {"a file another program holds open without sharing its deletion is written in place", "out.txt", "",
     "out.txt", "", false, "", 0, 3},
    {"a file another program holds open without sharing writing is refused at once", "out.txt", "", "", "",
     false, in_use, 0, 1},
    {"a one-name file another program holds locked is refused at once", "out.txt", "", "", "", false, in_use,
     0, 7},
    {"a file another program has mapped, which cannot be cut, keeps its bytes", "out.txt", "", "", "", true,
     in_use_at_write, 0, 8},
    {"a file-size limit lets a dump that fits be written in place", "out.txt", "ulimit -f 4; ",
     "hard.txt", "", true},
    {"a dump of exactly the file-size limit is written", "out.txt", "prlimit --fsize=307 ", "out.txt"},
    {"a link in a sticky directory is followed only where the shell follows it, guards on", "s/out.txt",
     guards_are(true) + "mkdir -m 1777 s && echo secret >v && " + as_other_user + "ln -s ../v s/out.txt && ", "",
     "grep -qx secret v && ! sh -c ': >>s/out.txt' 2>/dev/null", false, permission_denied},
    {"a file mounted on its own is written in place", "out.txt",
     "echo old >src; : >out.txt; mount --bind src out.txt && ", "src", "umount out.txt && ! test -s out.txt"},
    {"a dangling link on a full disk leaves the file the open made, as the shell does", "f/out",
     "mkdir f && mount -t tmpfs -o size=8k larkbook f && ln -s made f/out && cat /dev/zero >f/0 2>/dev/null; ",
     "", "test -e f/made && ! test -s f/made; s=$?; umount f; exit $s", false, "Unable to open output file: No space left on device"},
    {"another user's file in a sticky directory is left alone as by the shell, guards on", "s/out.txt",
     guards_are(true) + "mkdir -m 1777 s && " + as_other_user + "sh -c 'echo theirs >s/out.txt' && ", "",
     "grep -qx theirs s/out.txt && ! sh -c ': >>s/out.txt' 2>/dev/null", false, permission_denied},
    {"another user's FIFO in a sticky directory is left alone as by the shell, guards on", "s/fifo",
     guards_are(true) + "mkdir -m 1777 s && " + as_other_user + "mkfifo s/fifo && timeout 5 ", "",
     "! timeout 5 sh -c ': >>s/fifo' 2>/dev/null", false, permission_denied},
    {"a directory swapped during the run takes no dump", "u/x/out.txt",
     "mkdir -p u/x vault && echo secret >vault/out.txt && echo old >u/x/out.txt && chown -R 5001:5001 u && "
         + meanwhile(as_other_user + "sh -c 'mv u/x u/x.old && ln -s ../vault u/x'"),
     "", "grep -qx secret vault/out.txt && grep -qx old u/x.old/out.txt", false, in_use_at_write},
    {"an output replaced during the run is left to whoever replaced it", "out.txt",
     "echo old >out.txt && " + meanwhile("echo theirs >other && mv other out.txt"), "",
     "grep -qx theirs out.txt", false, in_use_at_write},
    {"a new output replaced during the run is left to whoever replaced it", "out.txt",
     meanwhile("echo theirs >other && mv other out.txt"), "", "grep -qx theirs out.txt", false, in_use_at_write},
    {"a file on FUSE keeps its owner", "nameless/out.txt",
     "mkdir real nameless && bindfs -o no-allow-other real nameless && echo old >real/out.txt && "
     "chown 65534:65534 real/out.txt && ",
     "real/out.txt", "umount nameless; test $(stat -c %u:%g real/out.txt) = 65534:65534"},
    {"an output with the input's inode number on another file system is no same file", "b/out.txt",
     "mkdir a b && mount -t tmpfs larkbook a && mount -t tmpfs larkbook b && mv in.txt a && ln -s a/in.txt . "
     "&& echo old >b/out.txt && test $(stat -c %i a/in.txt) = $(stat -c %i b/out.txt) && ",
     "b/out.txt", "umount a b"},
    {"a path of 4,095 bytes is written", "<4095>", "", "<4095>"},
    {"a deleted file still open is written", "/dev/fd/3",
     "sh -c 'exec 3<>del.txt && rm del.txt && \"$0\" \"$@\" && cat <&3 >copy' ", "copy"},
    {"a pipe named by /dev/fd/3 is written", "/dev/fd/3",
     "sh -c '{ \"$0\" \"$@\" 3>&1 >&4 | cat >copy; } 4>&1' ", "copy"},
    {"a closed standard output named as the output is refused", "/dev/stdout", "sh -c '\"$0\" \"$@\" >&-' ",
     "", "", false, "Unable to open output file: Bad file descriptor"},
    {"a link made while a new output is looked up is neither followed nor removed", "u/out.txt",
     "mkdir u vault && chown 5001 u && echo secret >vault/secret && "
         + held_at("newfstatat", "u/out.txt", "ln -s ../vault/secret u/out.txt"),
     "", "grep -qx secret vault/secret && test -L u/out.txt", false, in_use},
    {"a link that comes and goes costs no file, 150 runs", "u/out.txt",
     "mkdir u vault && chown 5001 u && echo secret >vault/secret && printf '\\377\\376' >utf16 && "
         + while_attacked("ln -s ../vault/secret u/out.txt; rm u/out.txt",
                          {"vault/secret u/out.txt", "utf16 u/out.txt"})
         + "rm -f u/out.txt && ",
     "u/out.txt", "grep -qx secret vault/secret"},
    {"a user's file moved away while it is looked up is not written", "s/out.txt",
     "mkdir -m 1777 s && mkdir mine && chown 5001 mine && " + as_other_user
         + "sh -c 'echo theirs >s/out.txt' && " + held_at("newfstatat", "s/out.txt", "mv s/out.txt mine/kept"),
     "s/out.txt", "grep -qx theirs mine/kept"},
    {"two files that trade names in a sticky directory are never written, guards on", "s/out.txt",
     guards_are(true) + trading_names,
     "", "grep -qx theirs s/out.txt && grep -qx theirs s/b && ! sh -c ': >>s/out.txt' 2>/dev/null",
     false, permission_denied},
    // Where the kernel lets root write them, the dump goes whole to the file whose
    // name led to it, or to neither.
    {"two files that trade names in a sticky directory each hold theirs or a whole dump, guards off", "s/out.txt",
     guards_are(false) + trading_names
         + "for f in s/out.txt s/b; do grep -qx theirs $f || cmp -s $f dump || exit 1; done && ",
     "s/out.txt"},
    {"a one-name file that another program holds with flock is refused at once", "out.txt",
     "echo old >out.txt && exec 9>>out.txt && flock 9 && ", "", "grep -qx old out.txt", false, in_use},
    {"a one-name file that another program holds with a POSIX lock is refused at once", "out.txt",
     "echo old >out.txt && " + locked_by_perl("+<", "$l = pack(\"s s x4 q q l x4\", F_WRLCK, 0, 0, 0, 0); fcntl(F, F_SETLK, $l)"),
     "", "grep -qx old out.txt" + lock_released, false, in_use},
    {"a file another program holds a lease on is refused at once", "out.txt",
     "echo old >out.txt && " + locked_by_perl("<", "$SIG{IO} = q(IGNORE); fcntl(F, 1024, F_RDLCK)"),  // F_SETLEASE
     "", "grep -qx old out.txt" + lock_released, false, in_use},
    {"while the run works no other program can lock OUT with flock or lockf", "out.txt",
     "echo old >out.txt && " + meanwhile("flock -n out.txt true && touch flocked; perl -MFcntl -e 'open(F, \"+<out.txt\"); "
                                         "$l = pack(\"s s x4 q q l x4\", F_WRLCK, 0, 0, 0, 0); exit !fcntl(F, F_SETLK, $l)' && touch locked"),
     "out.txt", "! test -e flocked && ! test -e locked"},
    {"a file system that reports no size is not called full", "/proc/self/comm", "stat -f /proc >/dev/null && ", ""},
    {"root may fill the blocks kept for root", "m/out.txt",
     "truncate -s 4M img && mkfs.ext4 -q -m 50 img && mkdir m && { mount -o loop img m 2>/dev/null || skip no loop device here; } "
     "&& chmod 777 m && " + as_other_user + "sh -c 'cat /dev/zero >m/fill; for i in 1 2 3; do "
     "fallocate -l $(($(stat -f -c %a m) * $(stat -f -c %S m))) m/f$i; done' 2>/dev/null; ",
     "m/out.txt", "umount m"},
    {"another user writes root's 0666 file in place where he may make no file", "out.txt",
     "echo old >out.txt && chmod 666 out.txt && " + inode_noted + as_nobody, "out.txt", same_inode},
    {"a user's file whose group is not mapped in his user namespace is written in place", "out.txt",
     "{ " + as_other_user + "unshare -r true 2>/dev/null || skip no user namespace here; } && chmod 777 . && echo old >out.txt && "
         "chown 5001:0 out.txt && chmod 660 out.txt && " + inode_noted +
         // A copy that the user can reach wherever the clone lies: no capability
         // of the namespace's root reaches past its own files.
         "sh -c 'cp \"$0\" lark && exec " + as_other_user + "unshare -r ./lark \"$@\"' ",
     "out.txt", "test $(stat -c %u:%g out.txt) = 5001:0 && " + same_inode},
    {"a mode changed during the run is kept", "out.txt",
     "echo old >out.txt && chmod 644 out.txt && " + meanwhile("chmod 600 out.txt"), "out.txt",
     "test $(stat -c %a out.txt) = 600"},
    {"a name added during the run gets the dump too", "out.txt", "echo old >out.txt && " + meanwhile("ln out.txt more"),
     "more"},
    // Not over FUSE: bindfs asks the lower one, which may answer from its cache.
    {"a name added during the run on FUSE, which caches, gets the dump too", "nameless/out.txt",
     "{ test $(stat -f -c %T .) != fuseblk || skip FUSE below; } && mkdir real nameless && "
     "bindfs -o no-allow-other real nameless && echo old >real/out.txt && "
         + meanwhile("ln nameless/out.txt nameless/more"),
     "real/more", "umount nameless"},
    // Held as it flushes, after the write and the cut: the name is looked at again.
    {"a file put at OUT's name at the last moment is left to it", "out.txt",
     "chmod 777 . && echo old >out.txt && " + held_at("fsync", "out.txt", "echo theirs >other && mv -f other out.txt"),
     "", "grep -qx theirs out.txt", false, in_use_at_write},
    {"root's write drops a capability and keeps the set-id bits", "out.txt",
     "echo old >out.txt && chmod 6755 out.txt && "
     "{ setfattr -n security.capability -v 0x0100000200200000000000000000000000000000 out.txt || skip no capabilities here; } && ",
     "out.txt", "test $(stat -c %a out.txt) = 6755 && ! getfattr -n security.capability out.txt 2>/dev/null"},
    {"a user's write of his own set-id file drops the bits", "out.txt",
     "chmod 777 . && echo old >out.txt && chown 5001:5001 out.txt && chmod 6755 out.txt && " + as_other_user,
     "out.txt", "test $(stat -c %a out.txt) = 755"},
    {"a lock the file system cannot take is named as such", "out.txt",
     "echo old >out.txt && strace -o /dev/null -E ASAN_OPTIONS=detect_leaks=0 -e inject=flock:error=ENOLCK ", "",
     "grep -qx old out.txt", false, "Unable to open output file: No locks available"},
    {"a new output that another program makes while it is made is left to it", "out.txt",
     "chmod 777 . && " + held_at("newfstatat", "out.txt", "echo theirs >out.txt"),
     "", "grep -qx theirs out.txt", false, in_use}};

using Placement = Rows<placement_case>;
INSTANTIATE_TEST_SUITE_P(Larkbook, Placement, testing::ValuesIn(placement_cases), row_name<placement_case>);

TEST_P(Placement, PutsTheDumpWhereTheShellWould)
{
    const placement_case& c = GetParam();
    if (ON_WINDOWS ? !c.shell_setup.empty() && !c.held : c.attributes || (c.held && c.shell_setup.empty()))
        GTEST_SKIP() << (ON_WINDOWS ? "a POSIX set-up" : "a Windows set-up");
    const std::string sorted = "1 556 Al" + NL + "2 555 Zed" + NL + bare_slots(3);
    if (c.hard_linked) {
        write(c.output, std::string(2000, 'x'));
        fs::create_hard_link(native(path(c.output)), native(path("hard.txt")));
    }
#ifdef _WIN32
    if (c.attributes)
        SetFileAttributesW(native(write(c.output, "old")).c_str(), c.attributes);
#endif
    std::string output = c.output[0] == '/' || c.output == "NUL" ? c.output : path(c.output);
    std::string deep = "d";  // with the file's name, a path of 4,095 bytes
    for (; path(deep).size() < 3800; deep += "/" + std::string(200, 'd')) { }
    deep += "/" + std::string(4095 - path(deep).size() - 1, 'f');
    if (c.output == "<4095>") {
        output = path(deep);
        if (ON_WINDOWS || !fs::create_directories(native(path(deep)).parent_path()))
            GTEST_SKIP() << "no path of 4,095 bytes here";
    }
#ifndef _WIN32
    struct stat device;  // nodes of the test's own: a faulty run cannot replace the system's
    if ((output == "/dev/full" || output == "/dev/null") && stat(output.c_str(), &device) == 0) {
        mknod((output = path(output.substr(5))).c_str(), S_IFCHR | 0666, device.st_rdev);
        if (int fd = open(output.c_str(), O_WRONLY); fd < 0 || close(fd) != 0)
            GTEST_SKIP() << "no devices on this file system";
    }
#else
    HANDLE holder = INVALID_HANDLE_VALUE;
    std::string before = c.held ? contents(c.hard_linked ? output : write(c.output, "old\n")) : "";
    OVERLAPPED whole = {};
    if (c.held) {
        holder = CreateFileW(native(output).c_str(), GENERIC_READ | GENERIC_WRITE, c.held == 8 ? 7 : c.held, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_TRUE(holder != INVALID_HANDLE_VALUE
                    && (c.held != 7 || LockFileEx(holder, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole)));
    }
    HANDLE mapping = c.held == 8 ? CreateFileMappingW(holder, nullptr, PAGE_READONLY, 0, 0, nullptr) : nullptr;
    const void* view = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
    ASSERT_EQ(view != nullptr, c.held == 8);
#endif
    std::string input = write("in.txt", "1 555 Zed\n2 556 Al\n");
    write("dump", sorted);  // what a whole dump is, for rows that compare
    run_result r
        = run({input, output}, "", ON_WINDOWS ? "" : "cd " + shell_quoted(path("")) + " && " + skip_function + c.shell_setup);
#ifdef _WIN32
    if (view)
        UnmapViewOfFile(view);
    if (mapping)
        CloseHandle(mapping);
    CloseHandle(holder);
    if (c.held && !c.err.empty()) {
        EXPECT_EQ(contents(output), before);
    }
#endif
    if (unsupported(r))
        GTEST_SKIP() << contents(path("skipped"));
    EXPECT_EQ(r.status, c.err.empty() ? 0 : FILE_ERROR);
    EXPECT_EQ(r.err, c.err.empty() ? "" : c.err + NL);
    const std::string until_writing = "Reading..found 2 names." + NL + "Sorting..done." + NL + "Writing.." + NL;
    EXPECT_EQ(r.out, c.err.empty() ? progress_for(2) : c.err.rfind("Unable to open", 0) ? until_writing : "");
    std::string sorted_in = c.sorted_in == "<4095>" ? deep : c.sorted_in;
    for (int wait = 0; wait < 500 && !sorted_in.empty() && contents(path(sorted_in)) != sorted; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));  // the FIFO's reader may lag
    if (!sorted_in.empty()) {
        EXPECT_EQ(contents(path(sorted_in)), sorted);
    }
#ifdef _WIN32
    if (c.attributes) {
        EXPECT_EQ(GetFileAttributesW(native(path(c.sorted_in)).c_str()) & c.attributes, c.attributes);
    }
#endif
    if (!ON_WINDOWS && !c.check.empty()) {
        EXPECT_EQ(run_command("cd " + shell_quoted(path("")) + " && " + c.check), 0) << c.check;
    }
}

#ifndef _WIN32
TEST_F(Larkbook, TerminalNamedAsTheOutputShowsTheDump)
{
    int terminal[2];
    ASSERT_EQ(openpty(terminal, terminal + 1, nullptr, nullptr, nullptr), 0);
    pid_t child = start({write("in.txt", "1 555 Bob\n"), "/dev/stdout"}, terminal[1]);
    close(terminal[1]);
    std::string shown;
    char buffer[4096];
    for (ssize_t got; (got = read(terminal[0], buffer, sizeof buffer)) > 0;)  // until the run closes it
        shown.append(buffer, static_cast<std::size_t>(got));
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << contents(path("stderr"));
    EXPECT_NE(shown.find("1 555 Bob\r\n2\r\n"), std::string::npos) << shown;
}
#endif

TEST_F(Larkbook, FailingStandardOutputIsAFailureButTheDumpIsWritten)
{
    std::vector<std::pair<std::string, std::string>> outputs = {{"/dev/full", "No space left on device"}};
    if (!ON_WINDOWS) {
        outputs.emplace_back("a closed pipe", "Broken pipe");
        outputs.emplace_back("a terminal that hung up", "Input/output error");  // each line fails as it is written
        outputs.emplace_back("closed standard input and output", "Bad file descriptor");
        outputs.emplace_back("a file at the file-size limit", "File too large");
    }
    const std::vector<std::string> args = {write("in.txt", "1 555 Bob\n"), path("out.txt")};
    for (const auto& [output, reason] : outputs) {
        SCOPED_TRACE(output);
        fs::remove(native(path("out.txt")));
        run_result r;
#ifndef _WIN32
        if (output == "a closed pipe" || output == "a terminal that hung up") {
            int ends[2];  // the run writes to ends[1], whose other end is gone
            ASSERT_EQ(output == "a closed pipe" ? pipe(ends) : openpty(ends, ends + 1, nullptr, nullptr, nullptr), 0);
            close(ends[0]);
            pid_t child = start(args, ends[1]);
            close(ends[1]);
            int status = 0;
            waitpid(child, &status, 0);
            r = {WIFEXITED(status) ? WEXITSTATUS(status) : -1, "", contents(path("stderr"))};
        } else
#endif
            if (output == "a file at the file-size limit")
            r = run(args, "",
                    "sh -c 'head -c 1020 /dev/zero >\"$2.s\"; ulimit -f 2; exec \"$0\" \"$@\" >>\"$2.s\"' ");
        else
            r = output == "/dev/full" ? run(args, output) : run(args, "", "sh -c '\"$0\" \"$@\" <&- >&-' ");
        EXPECT_EQ(r.status, FILE_ERROR);
        EXPECT_EQ(r.err, "Unable to write standard output: " + reason + NL);
        EXPECT_EQ(contents(path("out.txt")), "1 555 Bob" + NL + bare_slots(2));
    }
}

struct overflow_case {
    int entries;
    const char* warning;  // empty when every entry fits
};

TEST_F(Larkbook, EntriesBeyondTheSlotsAreCountedAndWarnedAbout)
{
    for (const auto& c : std::vector<overflow_case> {
             {100, ""},
             {101, "Warning: 1 entry did not fit into the 100 slots and was not written"},
             {102, "Warning: 2 entries did not fit into the 100 slots and were not written"},
             {150, "Warning: 50 entries did not fit into the 100 slots and were not written"},
             {512, "Warning: 412 entries did not fit into the 100 slots and were not written"},
             {513, "Warning: 513 entries found, but only the first 512 read were sorted; 413 entries were not written"},
             {5000,
              "Warning: 5000 entries found, but only the first 512 read were sorted; 4900 entries were not written"}}) {
        // Written in reverse name order, so the output shows that the sort ran first.
        std::string dump;
        for (int i = c.entries - 1; i >= 0; --i)
            dump += "7 555-" + std::to_string(i) + " N" + std::to_string(1000 + i) + "\n";
        run_result r = sort(dump);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, progress_for(c.entries));
        EXPECT_EQ(r.err, *c.warning ? c.warning + NL : "");
        // The first 100 in name order of the 512 read first.
        EXPECT_EQ(contents(path("out.txt")), numbered_dump(100, "N", NL, std::max(0, c.entries - 512)))
            << c.entries << " entries";
    }
    for (const char* no_errors : {"2>/dev/full", "<&- 2>&-"}) {  // a warning that cannot be shown fails the run
        if (ON_WINDOWS)
            break;
        run_result r = run({path("in.txt"), path("out.txt")}, "", "sh -c '\"$0\" \"$@\" " + std::string(no_errors) + "' ");
        EXPECT_EQ(r.status, FILE_ERROR);
        EXPECT_EQ(r.out, progress_for(5000));
    }
}

TEST_F(Larkbook, TableNeverHoldsMoreThan512Entries)
{
    // Entries after the 512th would sort first if they were stored.
    std::string dump = numbered_dump(512, "M") + numbered_dump(88, "A");
    run_result r = sort(dump);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, progress_for(600));
    EXPECT_EQ(r.err,
              "Warning: 600 entries found, but only the first 512 read were sorted; 500 entries were not written" + NL);
    EXPECT_EQ(contents(path("out.txt")), numbered_dump(100, "M", NL));
}

// What a run drops is said once, a line each; its own output, read again, drops
// nothing.
TEST_F(Larkbook, SortingItsOwnOutputChangesNothing)
{
    run_result r = sort("9 555-9 Zoe\n3 +49-30 Anne Marie\n4 112 Alexander Hamilton-Smith\n\n1 555 Bob\n7 555-7\n"
                        "8\t555\tAl\n2 " + std::string(33, '5') + " Kim\n10\n");
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Warning: 2 lines are neither an entry nor an empty slot and were skipped, the first is line 6" + NL
                  + "Warning: 1 name was cut to 16 bytes" + NL + "Warning: 1 number was cut to 32 bytes" + NL);
    std::string first = contents(path("out.txt"));
    r = run({path("out.txt"), path("again.txt")});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(contents(path("again.txt")), first);
}

TEST_F(Larkbook, SortsTheBundledExample)
{
    run_result r = run({LARKBOOK_EXAMPLE, path("out.txt")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> lines = lines_of(contents(path("out.txt")));
    std::vector<std::string> names;
    for (const std::string& line : lines) {
        auto name = line.find(' ', line.find(' ') + 1);
        if (name != std::string::npos)
            names.push_back(line.substr(name + 1));
    }
    EXPECT_EQ(lines.size(), 100u);
    EXPECT_EQ(r.out, progress_for(static_cast<long long>(names.size())));
    EXPECT_TRUE(std::is_sorted(names.begin(), names.end()));
}

#ifdef _WIN32
// The run is held reading a named pipe, once it has opened its output: another
// program can neither lock OUT nor move or delete it, and a second run is refused.
TEST_F(Larkbook, WhileARunReadsNoOtherProgramTouchesItsFiles)
{
    std::wstring pipe_name = L"\\\\.\\pipe\\larkbook-" + std::to_wstring(GetCurrentProcessId());
    HANDLE pipe = CreateNamedPipeW(pipe_name.c_str(), PIPE_ACCESS_OUTBOUND, 0, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    write("out.txt", "old\n");
    ASSERT_TRUE(start_on(pipe_name, CREATE_NO_WINDOW, true));
    ConnectNamedPipe(pipe, nullptr);
    for (int wait = 0; wait < 500 && contents(path("progress")) != "Reading.."; ++wait)
        Sleep(10);  // the output is open and locked, the input not yet read
    HANDLE out
        = CreateFileW(native(path("out.txt")).c_str(), GENERIC_WRITE,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    OVERLAPPED whole = {};
    EXPECT_FALSE(LockFileEx(out, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole));
    CloseHandle(out);
    EXPECT_FALSE(MoveFileExW(native(path("out.txt")).c_str(), native(path("moved")).c_str(), 0));
    EXPECT_FALSE(DeleteFileW(native(path("out.txt")).c_str()));
    EXPECT_EQ(run({write("in.txt", "1 555 Al\n"), path("out.txt")}).err,
              "Unable to open output file: another program is using it; close it there and run again" + NL);
    DWORD written = 0;
    WriteFile(pipe, "1 555 Bob\n", 10, &written, nullptr);
    CloseHandle(pipe);
    EXPECT_EQ(end_status(), 0);
    EXPECT_EQ(contents(path("out.txt")), "1 555 Bob" + NL + bare_slots(2));

    // Started without standard handles, as a program without a console starts it:
    // no console text reaches IN or OUT, and the texts it could not show fail the run.
    ASSERT_TRUE(start_on(native(path("in.txt")).wstring(), DETACHED_PROCESS));
    EXPECT_EQ(end_status(), FILE_ERROR);
    EXPECT_EQ(contents(path("in.txt")), "1 555 Al\n");
    EXPECT_EQ(contents(path("out.txt")), "1 555 Al" + NL + bare_slots(2));

    // Started with standard output but no standard error: the warning it cannot show
    // fails the run.
    write("in.txt", "");
    ASSERT_TRUE(start_on(native(path("in.txt")).wstring(), DETACHED_PROCESS, true, false));
    EXPECT_EQ(end_status(), FILE_ERROR);
    EXPECT_EQ(contents(path("progress")), progress_for(0));
}

// A name with an unpaired surrogate, which no UTF-8 can hold, names that very file,
// never the one with U+FFFD in its place: where the system can make no such file
// (Wine), the run finds none.
TEST_F(Larkbook, AWideNameNamesThatVeryFile)
{
    const std::wstring folder = native(path("")).wstring(), lone = folder + L"a\xD800.txt";
    std::ofstream(fs::path(lone), std::ios::binary) << "1 555 Lone\n";
    std::ofstream(fs::path(folder + L"a\xFFFD.txt"), std::ios::binary) << "1 555 Decoy\n";
    bool made = fs::exists(fs::path(lone));
    ASSERT_TRUE(start_on(lone, CREATE_NO_WINDOW));
    EXPECT_EQ(end_status(), made ? 0 : FILE_ERROR);
    EXPECT_EQ(contents(path("out.txt")), made ? "1 555 Lone" + NL + bare_slots(2) : "");
}

TEST_F(Larkbook, CommandsOfTheWindowsGuideDoWhatItSays)
{
    // Every command line that the guide shows, in its order, with its status, run
    // as shown in the folder of the unpacked zip.
    const std::vector<std::pair<std::string, int>> commands = {
        {"larkbook.exe example.txt sorted.txt", 0},
        {".\\larkbook.exe example.txt sorted.txt", 0},
        {"larkbook.exe \"C:\\Users\\Anna\\My Phone\\dump.txt\" \"C:\\Users\\Anna\\sorted.txt\"", FILE_ERROR},  // no Anna here
        {"larkbook.exe example.txt sorted.txt > sorted.txt", FILE_ERROR}};
    for (const auto& [from, to] : std::map<std::string, std::string> {
             {LARKBOOK_PROGRAM, "larkbook.exe"}, {LARKBOOK_EXAMPLE, "example.txt"}, {LARKBOOK_GUIDE, "README.txt"}})
        fs::copy_file(native(from), native(path(to)));
    std::vector<std::string> shown, listed;
    std::istringstream guide(contents(LARKBOOK_GUIDE));
    for (std::string line; std::getline(guide, line);)
        if (std::regex_match(line, std::regex("  (\\.\\\\)?larkbook\\.exe [^ ].*")))  // a run, not a list of files
            shown.push_back(line.substr(2));
    for (const auto& [command, status] : commands) {
        listed.push_back(command);
        fs::remove(native(path("sorted.txt")));
        EXPECT_EQ(run_command("cd /d " + shell_quoted(path("")) + " && " + command), status) << command;
        EXPECT_EQ(contents(path("sorted.txt")).rfind("1 0160-5550111 Anna Schmidt\r\n", 0) == 0, status == 0) << command;
    }
    EXPECT_EQ(shown, listed);
}
#endif

}  // namespace
