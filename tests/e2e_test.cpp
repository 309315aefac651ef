// Runs the built program on real files in a temporary directory.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
const std::string NL = "\r\n";  // the platform's text-mode line end
constexpr int FILE_ERROR = -2;
constexpr bool ON_WINDOWS = true;

std::string shell_quoted(const std::string& text) { return "\"" + text + "\""; }

std::string invoked_program()
{
    std::string path = LARKBOOK_PROGRAM;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

// cmd /c drops the first and the last quote of a command; give it a pair to drop.
int run_command(const std::string& command) { return std::system(("\"" + command + " <NUL\"").c_str()); }
#else
const std::string NL = "\n";
constexpr int FILE_ERROR = 254;  // -2 as the shell sees it
constexpr bool ON_WINDOWS = false;

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
    int status = std::system((command + " </dev/null").c_str());
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
        dir = fs::temp_directory_path() / ("larkbook-test-" + std::to_string(random()));
        ASSERT_TRUE(fs::create_directory(dir));
    }

    void TearDown() override { fs::remove_all(dir); }

    std::string path(const std::string& name) const { return (dir / name).string(); }

    std::string write(const std::string& name, const std::string& bytes) const
    {
        std::ofstream(path(name), std::ios::binary) << bytes;
        return path(name);
    }

    static std::string contents(const std::string& file)
    {
        std::ifstream stream(file, std::ios::binary);
        std::ostringstream bytes;
        bytes << stream.rdbuf();
        return bytes.str();
    }

    run_result run(const std::vector<std::string>& args, const std::string& stdout_path = "") const
    {
        std::string command = shell_quoted(invoked_program());
        for (const auto& arg : args)
            command.append(" ").append(shell_quoted(arg));
        std::string out = stdout_path.empty() ? path("stdout") : stdout_path;
        command.append(" >").append(shell_quoted(out)).append(" 2>").append(shell_quoted(path("stderr")));
        int code = run_command(command);
        return {code, stdout_path.empty() ? contents(out) : "", contents(path("stderr"))};
    }

    // Runs on a dump given as bytes; the sorted dump is left in "out.txt".
    run_result sort(const std::string& dump) const { return run({write("in.txt", dump), path("out.txt")}); }
};

std::string numbered_dump(int count, const std::string& name_prefix, const std::string& line_end = "\n")
{
    std::string dump;
    for (int i = 0; i < count; ++i)
        dump += std::to_string(i + 1) + " 555-" + std::to_string(i) + " " + name_prefix + std::to_string(1000 + i)
            + line_end;
    return dump;
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
        EXPECT_FALSE(fs::exists(path("a")) || fs::exists(path("b")) || fs::exists(path("c")));
    }
}

struct open_failure {
    const char* what;
    std::string input, output;  // relative to the test directory
    std::string message;
};

TEST_F(Larkbook, UnopenableFilesAreReportedWithoutTouchingTheOutput)
{
    write("dump.txt", "1 555 Bob\n");
    fs::create_directory(path("folder"));
    for (const auto& c : std::vector<open_failure> {
             {"missing input", "missing.txt", "out.txt", "Unable to open input file: No such file or directory"},
             {"directory input", "folder", "out.txt", "Unable to open input file: Is a directory"},
             {"output in missing directory", "dump.txt", "nowhere/out.txt",
              "Unable to open output file: No such file or directory"},
             {"output is a directory", "dump.txt", "folder", "Unable to open output file: Is a directory"}}) {
        run_result r = run({path(c.input), path(c.output)});
        EXPECT_EQ(r.status, FILE_ERROR) << c.what;
        EXPECT_EQ(r.out, "") << c.what;
        EXPECT_EQ(r.err, c.message + NL) << c.what;
        EXPECT_FALSE(fs::exists(path("out.txt"))) << c.what;
    }
    EXPECT_EQ(contents(path("dump.txt")), "1 555 Bob\n");
}

TEST_F(Larkbook, SameFileAsInputAndOutputIsRefused)
{
    const std::string dump = "1 555 Zed\r\n2 556 Al\r\n";
    std::string input = write("dump.txt", dump);
    fs::create_directory(path("sub"));
    fs::create_hard_link(input, path("hard.txt"));
    std::vector<std::string> outputs
        = {input, (dir / "." / "dump.txt").string(), (dir / "sub" / ".." / "dump.txt").string(), path("hard.txt")};
    std::error_code no_symlinks;  // the Windows C++ runtime cannot make them
    fs::create_symlink(input, path("link.txt"), no_symlinks);
    ASSERT_TRUE(ON_WINDOWS || !no_symlinks) << no_symlinks.message();
    if (!no_symlinks)
        outputs.push_back(path("link.txt"));
    for (const std::string& output : outputs) {
        run_result r = run({input, output});
        EXPECT_EQ(r.status, FILE_ERROR) << output;
        EXPECT_EQ(r.out, "") << output;
        EXPECT_NE(r.err.find("the same file"), std::string::npos) << output << ": " << r.err;
        EXPECT_EQ(contents(input), dump) << output;
    }
    // A link as the input is refused too.
    run_result r = run({path(no_symlinks ? "hard.txt" : "link.txt"), input});
    EXPECT_EQ(r.status, FILE_ERROR);
    EXPECT_EQ(contents(input), dump);
}

TEST_F(Larkbook, EmptyInputGivesOneHundredBareSlots)
{
    run_result r = sort("");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, progress_for(0));
    EXPECT_EQ(r.err, "");
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
    run_result r = sort("1 555-1 Zed\n2 555-2 Al");
    EXPECT_EQ(r.out, progress_for(2));
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

TEST_F(Larkbook, ReadErrorEndsTheRun)
{
    // Reading this file at offset 0 fails with EIO.
    run_result r = run({"/proc/self/mem", path("out.txt")});
    EXPECT_EQ(r.status, FILE_ERROR);
    EXPECT_EQ(r.out, "Reading.." + NL);
    const std::string message = "Unable to read input file: ";
    EXPECT_EQ(r.err.rfind(message, 0), 0u) << r.err;
    if (!ON_WINDOWS) {  // Wine gives a reason of its own
        EXPECT_EQ(r.err, message + "Input/output error" + NL);
    }
    EXPECT_EQ(contents(path("out.txt")), "");
}

TEST_F(Larkbook, FullDiskIsAFailure)
{
    run_result r = run({write("in.txt", "1 555 Bob\n"), "/dev/full"});
    EXPECT_EQ(r.status, FILE_ERROR);
    EXPECT_EQ(r.out, "Reading..found 1 names." + NL + "Sorting..done." + NL + "Writing.." + NL);
    EXPECT_EQ(r.err, "Unable to write output file: No space left on device" + NL);
}

TEST_F(Larkbook, FullStandardOutputIsAFailureButTheDumpIsWritten)
{
    run_result r = run({write("in.txt", "1 555 Bob\n"), path("out.txt")}, "/dev/full");
    EXPECT_EQ(r.status, FILE_ERROR);
    EXPECT_EQ(r.err, "Unable to write standard output: No space left on device" + NL);
    EXPECT_EQ(contents(path("out.txt")), "1 555 Bob" + NL + bare_slots(2));
}

struct overflow_case {
    int entries;
    const char* warning;  // empty when every entry fits
};

TEST_F(Larkbook, EntriesBeyondTheSlotsAreCountedAndWarnedAbout)
{
    for (const auto& c : std::vector<overflow_case> {
             {100, ""},
             {101, "Warning: 1 entries did not fit into the 100 slots and were not written"},
             {150, "Warning: 50 entries did not fit into the 100 slots and were not written"}}) {
        // Written in reverse name order, so the output shows that the sort ran first.
        std::string dump;
        for (int i = c.entries - 1; i >= 0; --i)
            dump += "7 555-" + std::to_string(i) + " N" + std::to_string(1000 + i) + "\n";
        run_result r = sort(dump);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, progress_for(c.entries));
        EXPECT_EQ(r.err, *c.warning ? c.warning + NL : "");
        EXPECT_EQ(contents(path("out.txt")), numbered_dump(100, "N", NL)) << c.entries << " entries";
    }
}

TEST_F(Larkbook, TableNeverHoldsMoreThan512Entries)
{
    // Entries after the 512th would sort first if they were stored.
    std::string dump = numbered_dump(512, "M") + numbered_dump(88, "A");
    run_result r = sort(dump);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, progress_for(600));
    EXPECT_EQ(r.err, "Warning: 500 entries did not fit into the 100 slots and were not written" + NL);
    EXPECT_EQ(contents(path("out.txt")), numbered_dump(100, "M", NL));
}

TEST_F(Larkbook, SortingItsOwnOutputChangesNothing)
{
    ASSERT_EQ(sort("9 555-9 Zoe\n3 +49-30 Anne Marie\n4 112 Alexander Hamilton-Smith\n\n1 555 Bob\n").status, 0);
    std::string first = contents(path("out.txt"));
    ASSERT_EQ(run({path("out.txt"), path("again.txt")}).status, 0);
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

}  // namespace
