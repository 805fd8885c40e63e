#include <benchmark/benchmark.h>

#include "bench/support.h"

int main(int argc, char **argv)
{
    ostrel_bench::InstallHost();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
