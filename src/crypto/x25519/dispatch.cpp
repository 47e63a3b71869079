#include <cstdlib>

#include "codec/env_choice.h"
#include "crypto/x25519/native.h"

namespace velmora::crypto::x25519 {

bool native_available() {
#if defined(__x86_64__) && defined(__GNUC__) && defined(VELMORA_VALGRIND_CT)
    // The constant-time check's build runs under valgrind, which (3.19)
    // executes adcx/adox but leaves ADX out of the CPUID it reports.
    return __builtin_cpu_supports("bmi2");
#elif defined(__x86_64__) && defined(__GNUC__)
    return __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("adx");
#else
    return false;
#endif
}

namespace {

Impl choose() {
    switch (codec::env_choice(std::getenv("VELMORA_X25519_IMPL"), "native")) {
        case codec::EnvChoice::Unset:
        case codec::EnvChoice::Named:
            return native_available() ? Impl::Native : Impl::Libsodium;
        case codec::EnvChoice::Other:
            break;
    }
    return Impl::Libsodium;
}

}  // namespace

Impl active_impl() {
    static const Impl chosen = choose();
    return chosen;
}

const char* impl_name(Impl impl) { return impl == Impl::Native ? "native" : "libsodium"; }

}  // namespace velmora::crypto::x25519
