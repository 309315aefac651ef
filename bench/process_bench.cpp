// Whole-process timings of larkbook against the tools a user would compare it with,
// and against a floor that does only what a safe run must (flushed_floor.cpp).
//
// Makes its own inputs in a scratch directory, runs each pair of commands in turn
// (larkbook, other, larkbook, other, ...) so that both see the same machine state,
// and prints medians of the times and of the per-round ratios, and larkbook's peak
// resident memory on every input.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct process_run {
    double seconds;
    long peak_kib;
};

process_run run_process(const std::vector<std::string>& argv)
{
    auto start = std::chrono::steady_clock::now();
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        std::vector<char*> args;
        for (const auto& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    rusage usage {};
    wait4(child, &status, 0, &usage);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && argv[0] != "sh")) {
        std::fprintf(stderr, "%s failed with status %d\n", argv[0].c_str(), status);
        std::exit(1);
    }
    return {seconds, usage.ru_maxrss};
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

struct comparison {
    double ours, theirs, ratio;  // medians
    long peak_kib;               // larkbook's largest peak
};

comparison compare(const std::vector<std::string>& ours, const std::vector<std::string>& theirs, int rounds)
{
    std::vector<double> our_times, their_times, ratios;
    long peak = 0;
    run_process(ours);  // warm the page cache for both
    run_process(theirs);
    for (int round = 0; round < rounds; ++round) {
        process_run a = run_process(ours);
        process_run b = run_process(theirs);
        our_times.push_back(a.seconds);
        their_times.push_back(b.seconds);
        ratios.push_back(a.seconds / b.seconds);
        peak = std::max(peak, a.peak_kib);
    }
    return {median(our_times), median(their_times), median(ratios), peak};
}

void print(const char* input, const char* other, const comparison& c, const char* target)
{
    std::printf("%-14s %-10s %10.3f ms %10.3f ms %8.3fx   %-16s %6ld KiB\n", input, other, c.ours * 1e3, c.theirs * 1e3,
                c.ratio, target, c.peak_kib);
}

std::string entry_line(long index)
{
    static const char* const first[] = {"Anna", "ben", "Chloe", "Dad", "Emma", "felix", "Greta", "Hans"};
    static const char* const last[] = {" Schmidt", " Lopez", "", " Beck", " Wagner-Lind", " Huber"};
    return std::to_string(index % 100 + 1) + " 030-" + std::to_string(5550000 + index * 7919 % 100000) + " "
        + first[index * 5 % 8] + last[index * 7 % 6] + std::to_string(index % 1000) + "\n";
}

std::string make_dump(const fs::path& path, long lines)
{
    std::FILE* file = std::fopen(path.c_str(), "w");
    for (long i = 0; i < lines; ++i)
        std::fputs(entry_line(i).c_str(), file);
    std::fclose(file);
    return path;
}

std::string make_long_line(const fs::path& path, long length)
{
    std::FILE* file = std::fopen(path.c_str(), "w");
    std::fputs("1 555-0100 ", file);
    std::string chunk(1 << 20, 'x');
    for (long written = 0; written < length; written += chunk.size())
        std::fwrite(chunk.data(), 1, chunk.size(), file);
    std::fputs("\n", file);
    std::fclose(file);
    return path;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s LARKBOOK [ROUNDS]\n", argv[0]);
        return 1;
    }
    std::string larkbook = fs::absolute(argv[1]);
    int rounds = argc > 2 ? std::atoi(argv[2]) : 21;

    char scratch_template[] = "/tmp/larkbook-bench-XXXXXX";
    fs::path scratch = mkdtemp(scratch_template);
    std::string out = scratch / "out.txt";
    std::string typical = make_dump(scratch / "typical.txt", 100);
    std::string full = make_dump(scratch / "full.txt", 512);
    std::string million = make_dump(scratch / "million.txt", 1000000);
    std::string long_line = make_long_line(scratch / "long-line.txt", 64L << 20);
    std::string pipeline
        = "LC_ALL=C sort -s -t ' ' -k3 " + million + " | head -n 100 | awk '{ $1 = NR; print }' > " + out;
    sync();  // the inputs' writeback would otherwise slow whatever touches the disk first

    std::printf("rounds: %d; times are medians, the ratio is the median of per-round ratios\n", rounds);
    std::printf("million-line dump: %.1f MB\n\n", fs::file_size(million) / 1e6);
    std::printf("%-14s %-10s %13s %13s %9s   %-16s %10s\n", "input", "against", "larkbook", "other", "ratio", "target",
                "peak RSS");
    // cp flushes nothing: shown for scale, with no target.
    print("typical (100)", "cp", compare({larkbook, typical, out}, {"cp", typical, out + ".cp"}, rounds), "");
    print("full (512)", "cp", compare({larkbook, full, out}, {"cp", full, out + ".cp"}, rounds), "");
    // The same run without the output file, to show what writing it costs.
    print("full to null", "cp", compare({larkbook, full, "/dev/null"}, {"cp", full, out + ".cp"}, rounds), "");
    // Against the least a safe run must do: read, write 100 lines in place, cut, flush.
    print("typical (100)", "floor", compare({larkbook, typical, out}, {LARKBOOK_FLOOR, typical, out + ".f"}, rounds),
          "<= 1.10x");
    print("full (512)", "floor", compare({larkbook, full, out}, {LARKBOOK_FLOOR, full, out + ".f"}, rounds),
          "<= 1.10x");
    print("1,000,000", "wc -l", compare({larkbook, million, out}, {"wc", "-l", million}, rounds), "<= 4.5x");
    print("1,000,000", "pipeline", compare({larkbook, million, out}, {"sh", "-c", pipeline}, std::max(5, rounds / 2)),
          "<= 0.2x");
    print("64 MiB line", "wc -l", compare({larkbook, long_line, out}, {"wc", "-l", long_line}, std::max(3, rounds / 4)),
          "");
    std::printf("\npeak RSS target: <= 1024 KiB on every input\n");
    std::printf("program size: %ju bytes (target <= 1000000)\n", static_cast<std::uintmax_t>(fs::file_size(larkbook)));
    fs::remove_all(scratch);
    return 0;
}
