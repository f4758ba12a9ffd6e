// The calling thread's CPU time, for benchmarks.
#pragma once

double threadCpuSeconds();
