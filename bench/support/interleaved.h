#pragma once

// Benchmarks that compare the engine with a peer on a shared machine: the
// load drifts, so the repetitions of both sides are interleaved at random
// unless the command line says otherwise.

#include <benchmark/benchmark.h>

#include <vector>

namespace vesk::bench {

// Initialises Google Benchmark with random interleaving switched on; false
// when the command line holds arguments it does not know.
inline bool InitializeInterleaved(int argc, char** argv) {
  static std::vector<char*> args;
  args.assign(argv, argv + argc);
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  return !benchmark::ReportUnrecognizedArguments(count, args.data());
}

}  // namespace vesk::bench
