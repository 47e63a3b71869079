#include "crypto/mlkem768/impl.h"

#include <cstdlib>

#include "codec/env_choice.h"

namespace velmora::crypto::mlkem768 {

bool impl_available(Impl impl) {
    switch (impl) {
        case Impl::Portable:
            return true;
        case Impl::Avx2:
#if defined(__x86_64__) && defined(__GNUC__)
            // Also checks that the OS saves the YMM registers. BMI2 and
            // POPCNT come with every AVX2 CPU, but the code uses them too.
            return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2") &&
                   __builtin_cpu_supports("popcnt");
#else
            return false;
#endif
    }
    return false;
}

namespace {

Impl choose() {
    switch (codec::env_choice(std::getenv("VELMORA_MLKEM_IMPL"), "avx2")) {
        case codec::EnvChoice::Unset:
        case codec::EnvChoice::Named:
            return impl_available(Impl::Avx2) ? Impl::Avx2 : Impl::Portable;
        case codec::EnvChoice::Other:
            break;
    }
    return Impl::Portable;
}

}  // namespace

Impl active_impl() {
    static const Impl chosen = choose();
    return chosen;
}

const char* impl_name(Impl impl) { return impl == Impl::Avx2 ? "avx2" : "portable"; }

}  // namespace velmora::crypto::mlkem768
