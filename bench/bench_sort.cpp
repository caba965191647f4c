// sortAndReplace of a results file against `LC_ALL=C sort -S <budget> --parallel=1` on the same
// file, in one run:
//   bench_sort PATH [BUDGET_MIB, default 64]
// or the sort by a column against the whole-line sort and `LC_ALL=C sort -t, -k2,2n` on LINES
// generated lines (fixed seed) in DIR:
//   bench_sort --by-column LINES DIR
// Each sort runs as a child process of its own, so that its peak resident memory (ru_maxrss
// from wait4) is its own: ours is this program started again with "--child". Our sort replaces
// its file, so it gets a fresh copy of PATH before every run (not timed). Work files go to a
// directory made beside PATH. Best of three runs each; the outputs must be identical (the
// results lines all end in CR LF, so sort's order of the lines with their CR is ours).
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "BenchCommon.h"

#include "Indexing/icommon/SortAndReplace.h"
#include "Platform/BatchSort.h"

extern char** environ;

namespace {
using Clock = std::chrono::steady_clock;

struct Run {
    double seconds = -1;
    long peakKiB = 0;
};

// Runs argv as a child with the given environment; its time and peak memory, or seconds -1.
Run spawnAndWait(std::vector<std::string> args, char** envp) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    Run run;
    auto start = Clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), envp) != 0) return run;
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return run;
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.peakKiB = usage.ru_maxrss;
    return run;
}

bool copyFile(const std::string& from, const std::string& to) {
    std::error_code error;
    return std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, error);
}

bool sameContents(const std::string& a, const std::string& b) {
    FILE* fa = std::fopen(a.c_str(), "rbe");
    FILE* fb = std::fopen(b.c_str(), "rbe");
    bool same = fa != nullptr && fb != nullptr;
    std::vector<char> ba(1 << 20), bb(1 << 20);
    while (same) {
        size_t na = std::fread(ba.data(), 1, ba.size(), fa), nb = std::fread(bb.data(), 1, bb.size(), fb);
        if (na != nb || std::memcmp(ba.data(), bb.data(), na) != 0) same = false;
        if (na == 0) break;
    }
    if (fa != nullptr) std::fclose(fa);
    if (fb != nullptr) std::fclose(fb);
    return same;
}

Run best(const Run& a, const Run& b) { return a.seconds < 0 || (b.seconds >= 0 && b.seconds < a.seconds) ? b : a; }

std::string fileText(const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rbe")) {
        char buffer[1 << 16];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

// Lines "name,decimal,hex,"quoted, text"" of a fixed seed, LF ends; many equal decimals.
bool writeColumnLines(const std::string& path, long lines) {
    FILE* f = std::fopen(path.c_str(), "we");
    if (f == nullptr) return false;
    uint64_t state = 88172645463325252ull;
    auto next = [&state] {  // xorshift64
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return state;
    };
    for (long i = 0; i < lines; ++i)
        std::fprintf(f, "file%06lu.dat,%lu,%lx,\"text, %lu\"\n", static_cast<unsigned long>(next() % 1000000),
                     static_cast<unsigned long>(next() % 50000), static_cast<unsigned long>(next()),
                     static_cast<unsigned long>(next() % 1000));
    return std::fclose(f) == 0;
}

// Times sort() on a fresh copy of input at ours: best of three, seconds, or -1.
template <class Sort>
double timeSort(const std::string& input, const std::string& ours, Sort sort) {
    double bestSeconds = -1;
    for (int i = 0; i < 3; ++i) {
        if (!copyFile(input, ours)) return -1;
        auto start = Clock::now();
        if (sort() != 0) return -1;
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (bestSeconds < 0 || seconds < bestSeconds) bestSeconds = seconds;
    }
    return bestSeconds;
}

int benchByColumn(long lines, const std::string& directory, char** envp) {
    std::string dir = directory + "/bench_sort_column.XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) return 1;
    const std::string input = dir + "/input", ours = dir + "/ours", theirs = dir + "/theirs";
    if (!writeColumnLines(input, lines)) return 1;
    const double wholeLine = timeSort(input, ours, [&] { return sortAndReplace(ours.c_str(), false, true, false); });
    const double text = timeSort(input, ours, [&] {
        return sortAndReplaceEx(ours.c_str(), BatchSortListSortByColumn, 0, true, false, 4, ",", 3, 0);
    });
    const double decimal = timeSort(input, ours, [&] {
        return sortAndReplaceEx(ours.c_str(), BatchSortListSortByColumn, 0, true, false, 2, ",", 1, 0);
    });
    Run sortRun;
    for (int i = 0; i < 3; ++i)
        sortRun = best(sortRun, spawnAndWait({"sort", "-t,", "-k2,2n", "-o", theirs, input}, envp));
    // sort's LF ends against our CR LF ends.
    std::string expected;
    for (char c : fileText(theirs)) c == '\n' ? expected += "\r\n" : expected += c;
    const bool identical = fileText(ours) == expected;
    std::filesystem::remove_all(dir);
    if (wholeLine < 0 || text < 0 || decimal < 0 || sortRun.seconds < 0) {
        std::fprintf(stderr, "bench_sort: a sort failed\n");
        return 1;
    }
    std::printf("%ld lines: whole line %.3f s; by text column %.3f s; by decimal column %.3f s; "
                "LC_ALL=C sort -t, -k2,2n %.3f s; decimal column / whole line %.2f; decimal column / sort %.2f; "
                "outputs %s\n",
                lines, wholeLine, text, decimal, sortRun.seconds, decimal / wholeLine, decimal / sortRun.seconds,
                identical ? "identical" : "DIFFER");
    benchSummaryRow("sort by decimal column", benchText("%.3f s", decimal),
                    benchText("sort -t, -k2,2n %.3f s", sortRun.seconds), decimal / sortRun.seconds,
                    identical ? "keep" : "keep; outputs DIFFER");
    return identical ? 0 : 1;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--child") == 0) {
        BatchSort::setLimits(std::strtoull(argv[3], nullptr, 10) << 20, 0);
        return sortAndReplace(argv[2], false, true, false) == 0 ? 0 : 1;
    }
    const bool byColumn = argc == 4 && std::strcmp(argv[1], "--by-column") == 0;
    if (!byColumn && argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: bench_sort PATH [BUDGET_MIB] | bench_sort --by-column LINES DIR\n");
        return 64;
    }
    std::vector<std::string> envText{"LC_ALL=C"};
    for (char** e = environ; *e != nullptr; ++e)
        if (std::strncmp(*e, "LC_", 3) != 0 && std::strncmp(*e, "LANG", 4) != 0) envText.push_back(*e);
    std::vector<char*> envp;
    for (std::string& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (byColumn) return benchByColumn(std::atol(argv[2]), argv[3], envp.data());

    const std::string path = argv[1];
    const std::string budget = argc == 3 ? argv[2] : "64";
    std::string dir = std::filesystem::absolute(path).parent_path() / "bench_sort.XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) return 1;
    const std::string ours = dir + "/ours", theirs = dir + "/theirs", self = std::filesystem::read_symlink("/proc/self/exe");


    Run sortRun, ourRun;
    if (!copyFile(path, ours)) return 1;  // also brings the file into the page cache
    for (int i = 0; i < 3; ++i) {
        sortRun = best(sortRun, spawnAndWait({"sort", "-S", budget + "M", "--parallel=1", "-T", dir, "-o", theirs, path},
                                             envp.data()));
        if (!copyFile(path, ours)) return 1;
        ourRun = best(ourRun, spawnAndWait({self, "--child", ours, budget}, envp.data()));
    }
    const bool identical = sameContents(ours, theirs);
    std::filesystem::remove_all(dir);
    if (sortRun.seconds < 0 || ourRun.seconds < 0) {
        std::fprintf(stderr, "bench_sort: a sort failed\n");
        return 1;
    }
    std::printf("sortAndReplace, budget %s MiB: %.3f s, peak %ld MiB; LC_ALL=C sort -S %sM --parallel=1: %.3f s, "
                "peak %ld MiB; time ratio %.2f; outputs %s\n",
                budget.c_str(), ourRun.seconds, ourRun.peakKiB >> 10, budget.c_str(), sortRun.seconds,
                sortRun.peakKiB >> 10, ourRun.seconds / sortRun.seconds, identical ? "identical" : "DIFFER");
    benchSummaryRow("sortAndReplace", benchText("%.3f s, peak %ld MiB", ourRun.seconds, ourRun.peakKiB >> 10),
                    benchText("LC_ALL=C sort %.3f s", sortRun.seconds), ourRun.seconds / sortRun.seconds,
                    identical ? "keep" : "keep; outputs DIFFER");
    return identical ? 0 : 1;
}
