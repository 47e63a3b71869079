// EnclaveError: the one internal failure value, and Result<T>, the value-or-error
// every fallible operation returns. Nothing in the module throws across its own
// code; these values become a raised SecureError only at the interpreter boundary.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace velmora {

enum class ErrorKind : std::uint32_t {
    Wiped = 0,
    ForkChild = 1,
    LockRequired = 2,
    AllocationFailed = 3,
    EmptySecret = 4,
    WrongLength = 5,
    KeyRejected = 6,
    OpenFailed = 7,
    StreamFinished = 8,
    Malformed = 9,
    RngFailed = 10,
    // The OS RNG failed while drawing key material (an identity's secrets, a
    // seal's ephemeral values): raised as the interpreter's SystemError, not as
    // SecureError, since callers cannot act on it the way they act on RngFailed.
    KeyMaterialDrawFailed = 12,
    // Sealing refused (beyond the GCM limits) or failed in the library. Told
    // to callers in the words of OpenFailed, which is what they always saw.
    SealFailed = 13,
};

// A plain value: owns no secret material. `what` is always a static label;
// there is no ==, since two equal labels need not be one address: compare
// `kind`, or the formatted messages.
struct EnclaveError {
    ErrorKind kind;
    std::int32_t errno_value = 0;  // LockRequired
    const char* what = nullptr;    // WrongLength, Malformed
    std::uint64_t expected = 0;    // WrongLength
    std::uint64_t got = 0;         // WrongLength

    static constexpr EnclaveError of(ErrorKind k) { return EnclaveError{k}; }
    static constexpr EnclaveError lock_required(std::int32_t e) {
        return EnclaveError{ErrorKind::LockRequired, e};
    }
    static constexpr EnclaveError wrong_length(const char* what, std::uint64_t expected,
                                               std::uint64_t got) {
        return EnclaveError{ErrorKind::WrongLength, 0, what, expected, got};
    }
    static constexpr EnclaveError malformed(const char* what) {
        return EnclaveError{ErrorKind::Malformed, 0, what};
    }
};

// The bilingual one-line message for an error (English · Portuguese).
std::string format_message(const EnclaveError& e);

// Result<T>: holds a T or an EnclaveError, in the manner of std::expected.
template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(EnclaveError err) : v_(std::in_place_index<1>, err) {}
    Result(ErrorKind kind) : v_(std::in_place_index<1>, EnclaveError::of(kind)) {}

    bool has_value() const { return v_.index() == 0; }
    explicit operator bool() const { return has_value(); }
    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T& operator*() & { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    const EnclaveError& error() const { return std::get<1>(v_); }

private:
    std::variant<T, EnclaveError> v_;
};

template <>
class [[nodiscard]] Result<void> {
public:
    Result() = default;
    Result(EnclaveError err) : err_(err), ok_(false) {}
    Result(ErrorKind kind) : err_(EnclaveError::of(kind)), ok_(false) {}
    bool has_value() const { return ok_; }
    explicit operator bool() const { return ok_; }
    const EnclaveError& error() const { return err_; }

private:
    EnclaveError err_{ErrorKind::Wiped};
    bool ok_ = true;
};

using Status = Result<void>;

}  // namespace velmora
