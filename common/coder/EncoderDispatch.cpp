// SPDX-License-Identifier: GPL-3.0-or-later
// Which implementation of the vectorised stages runs: the best path the
// processor offers, chosen once, or the one KESTOVA_ENCODER_PATH names, or
// the one a test sets. Every encoder takes the path current when it is
// built and keeps it for all its pictures.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "common/coder/EncoderStages.h"

namespace kestova {

namespace {

using encoder::Kernels;

Kernels MakePortable() {
    Kernels k{};
    k.path = EncoderPath::Portable;
    encoder::FillPortableColour(k);
    encoder::FillPortableDct(k);
    encoder::FillPortableQuant(k);
    return k;
}

#if KESTOVA_ENCODER_X86
Kernels MakeAvx2() {
    Kernels k{};
    k.path = EncoderPath::Avx2;
    k.bmi2 = true;
    encoder::FillAvx2Colour(k);
    encoder::FillAvx2Dct(k);
    encoder::FillAvx2Quant(k);
    return k;
}
#endif

bool CanRun(EncoderPath path) {
    switch (path) {
        case EncoderPath::Portable: return true;
        case EncoderPath::Avx2:
#if KESTOVA_ENCODER_X86
            // Every processor with AVX2 so far has these too; checked anyway,
            // the path's entropy coder uses them.
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                   __builtin_cpu_supports("bmi2");
#else
            return false;
#endif
    }
    return false;
}

const Kernels* KernelsOf(EncoderPath path) {
#if KESTOVA_ENCODER_X86
    static const Kernels avx2 = MakeAvx2();
    if (path == EncoderPath::Avx2) return &avx2;
#endif
    static const Kernels portable = MakePortable();
    return &portable;
}

const Kernels* InitialKernels() {
    if (const char* env = std::getenv("KESTOVA_ENCODER_PATH")) {
        for (EncoderPath p : AvailableEncoderPaths())
            if (std::strcmp(env, EncoderPathName(p)) == 0) return KernelsOf(p);
    }
    return KernelsOf(AvailableEncoderPaths().back());
}

std::atomic<const Kernels*>& Current() {
    static std::atomic<const Kernels*> current{InitialKernels()};
    return current;
}

}  // namespace

const char* EncoderPathName(EncoderPath path) {
    switch (path) {
        case EncoderPath::Portable: return "portable";
        case EncoderPath::Avx2: return "avx2";
    }
    return "?";
}

std::vector<EncoderPath> AvailableEncoderPaths() {
    std::vector<EncoderPath> paths;
    for (EncoderPath p : {EncoderPath::Portable, EncoderPath::Avx2})
        if (CanRun(p)) paths.push_back(p);
    return paths;
}

bool SetEncoderPath(EncoderPath path) {
    if (!CanRun(path)) return false;
    Current().store(KernelsOf(path));
    return true;
}

EncoderPath CurrentEncoderPath() { return Current().load()->path; }

const encoder::Kernels& encoder::ActiveKernels() { return *Current().load(); }

}  // namespace kestova
