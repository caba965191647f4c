// Writes a results file of CR LF lines, the same bytes for the same arguments (fixed seed):
//   make_results_file PATH MEGABYTES
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_results_file PATH MEGABYTES\n");
        return 64;
    }
    const unsigned long long target = std::strtoull(argv[2], nullptr, 10) << 20;
    FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) return 1;
    std::mt19937_64 random(20261206);
    static const char* kinds[] = {"FILE", "DIR", "LINK", "STREAM"};
    std::string line;
    unsigned long long written = 0;
    for (unsigned long long n = 1; written < target; ++n) {
        line = std::to_string(n) + "\t" + kinds[random() % 4] + "\t/data/vol" + std::to_string(random() % 16) +
               "/projects/p" + std::to_string(random() % 1000) + "/file_" + std::to_string(random()) + ".dat\t" +
               std::to_string(random() % 100000000) + "\tOK\r\n";
        std::fwrite(line.data(), 1, line.size(), out);
        written += line.size();
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
