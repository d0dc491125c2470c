// A driver of the fuzz target for builds without libFuzzer. The
// ThreadSanitizer build needs one: libFuzzer's coverage counters are
// written by every thread without synchronization, which ThreadSanitizer
// reports as races in every function of the target.
//
// Runs every input file given (directories: every file in them) once, then,
// for the given number of seconds, copies of randomly chosen inputs with a
// few random edits (bytes overwritten, inserted or removed), drawn from a
// fixed seed so that a run can be repeated. Findings abort as under
// libFuzzer; the input that caused one is written to the path given by
// -artifact=PATH before it runs (default ./last-input).
//
// Usage: fuzz_core_tsan [-seconds=N] [-seed=N] [-artifact=PATH] inputs...
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void run(const Bytes& input, const std::string& artifact) {
    {
        std::ofstream out(artifact, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(input.data()),
                  static_cast<std::streamsize>(input.size()));
    }
    LLVMFuzzerTestOneInput(input.data(), input.size());
}

Bytes mutated(Bytes input, std::mt19937_64& rng) {
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
        const std::size_t at = input.empty() ? 0 : rng() % (input.size() + 1);
        const auto byte = static_cast<std::uint8_t>(rng());
        switch (rng() % 3) {
            case 0:
                if (at < input.size()) input[at] = byte;
                break;
            case 1:
                input.insert(input.begin() + static_cast<std::ptrdiff_t>(at), byte);
                break;
            default:
                if (at < input.size()) input.erase(input.begin() + static_cast<std::ptrdiff_t>(at));
        }
    }
    return input;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 0;
    std::uint64_t seed = 1;
    std::string artifact = "last-input";
    std::vector<Bytes> inputs;
    for (int a = 1; a < argc; ++a) {
        const std::string arg = argv[a];
        if (arg.rfind("-seconds=", 0) == 0) {
            seconds = std::atof(arg.c_str() + 9);
        } else if (arg.rfind("-seed=", 0) == 0) {
            seed = std::strtoull(arg.c_str() + 6, nullptr, 10);
        } else if (arg.rfind("-artifact=", 0) == 0) {
            artifact = arg.substr(10);
        } else if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg)) {
                if (entry.is_regular_file()) inputs.push_back(read_file(entry.path()));
            }
        } else {
            inputs.push_back(read_file(arg));
        }
    }
    if (inputs.empty()) inputs.emplace_back();
    std::size_t runs = 0;
    for (const Bytes& input : inputs) {
        run(input, artifact);
        ++runs;
    }
    std::mt19937_64 rng(seed);
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        run(mutated(inputs[rng() % inputs.size()], rng), artifact);
        ++runs;
    }
    std::printf("%zu inputs run (%zu given)\n", runs, inputs.size());
    return 0;
}
