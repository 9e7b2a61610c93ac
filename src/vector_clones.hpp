// VORNA_VECTOR_CLONES marks a hot loop to be compiled twice on x86-64 Linux,
// for AVX2 and for the baseline, the loader picking the one the processor
// runs. The project builds without FMA contraction and without
// reassociation, so both clones do the same multiplications and additions in
// the same order and give identical results. Not under ThreadSanitizer: the
// loader runs the clones' resolvers before that runtime is set up.
#pragma once

#if defined(__x86_64__) && defined(__linux__) && defined(__GNUC__) && !defined(__SANITIZE_THREAD__)
#define VORNA_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VORNA_VECTOR_CLONES
#endif
