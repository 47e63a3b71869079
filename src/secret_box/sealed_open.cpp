#include "secret_box/sealed_open.h"

#include <cstring>

#include "codec/json_field.h"

namespace velmora::box {

namespace gcm = crypto::aes_gcm;

Status open_sealed(Bytes key, Bytes nonce, Bytes aad, Bytes sealed, SealedInput input,
                   const gcm::Sink& out) {
    if (Status c = gcm::check_open(key, nonce, aad.size(), sealed.size()); !c) return c;
    const std::size_t ct_len = sealed.size() - gcm::TAG_BYTES;
    std::uint8_t tag[gcm::TAG_BYTES];
    std::memcpy(tag, sealed.data() + ct_len, gcm::TAG_BYTES);
    auto made = out(ct_len);
    if (!made) return made.error();
    std::uint8_t* buf = *made;
    const bool stable = input == SealedInput::Stable;
    if (!stable && ct_len != 0) std::memcpy(buf, sealed.data(), ct_len);
    const Bytes ciphertext(stable ? sealed.data() : buf, ct_len);
    return gcm::open_one_pass(key, nonce, aad, ciphertext, tag, {buf, ct_len});
}

Result<LockedRegion> open_json_field(Bytes key, Bytes nonce, Bytes aad,
                                     std::span<std::uint8_t> buffer, std::string_view field) {
    std::size_t text_len = 0;
    Status opened =
        gcm::open_to(key, nonce, aad, buffer, [&](std::size_t n) -> Result<std::uint8_t*> {
        text_len = n;
        return buffer.data();
    });
    if (!opened) return opened.error();
    buffer[text_len] = 0;
    auto decoded = codec::json_field_base64url(buffer.first(text_len + 1), field);
    if (!decoded) return decoded.error();
    return LockedRegion::from_slice(decoded->span());
}

}  // namespace velmora::box
