#include "hybrid/sealed_session.h"

#include <string>

#include "codec/base64url.h"
#include "crypto/ct.h"

namespace velmora::hybrid {

Result<OpenedSession> open_session_record(std::span<std::uint8_t> json) {
    // As for a sealed JSON field: the parse sees a declassified record, and the
    // two keys are secrets again before they are decoded.
    ct::declassify(json.data(), json.size(),
                   "parsing a decrypted record depends on its text by design");
    auto record = read_sealed_session(json);
    if (!record) return record.error();
    ct::mark_secret(record->sign_key.data(), record->sign_key.size());
    ct::mark_secret(record->enc_key.data(), record->enc_key.size());
    // Both keys are decoded before either length is looked at.
    auto sign_key = codec::base64url_decode(record->sign_key);
    if (!sign_key) return sign_key.error();
    auto enc_key = codec::base64url_decode(record->enc_key);
    if (!enc_key) return enc_key.error();
    if (sign_key->size() != SESSION_KEY_BYTES)
        return EnclaveError::wrong_length("sign_key", SESSION_KEY_BYTES, sign_key->size());
    if (enc_key->size() != SESSION_KEY_BYTES)
        return EnclaveError::wrong_length("enc_key", SESSION_KEY_BYTES, enc_key->size());
    auto sign_region = LockedRegion::from_slice(sign_key->span());
    if (!sign_region) return sign_region.error();
    auto enc_region = LockedRegion::from_slice(enc_key->span());
    if (!enc_region) return enc_region.error();  // sign_region is released on the way out
    const auto* id = reinterpret_cast<const char*>(record->session_id.data());
    return OpenedSession{std::string(id, record->session_id.size()), record->expires_at,
                         std::move(*sign_region), std::move(*enc_region)};
}

}  // namespace velmora::hybrid
