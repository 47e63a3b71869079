#include "codec/json_field.h"

#include <rapidjson/reader.h>
#include <rapidjson/stream.h>

#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "codec/base64url.h"
#include "crypto/ct.h"
#include "codec/json_number.h"
#include "codec/utf8.h"

namespace velmora::codec {

namespace {

// RapidJSON's parse stack allocator, wiping every block before it is freed.
// RapidJSON frees without a size, so each block carries its size in front.
class ZeroizingAllocator {
public:
    [[maybe_unused]] static const bool kNeedFree = true;  // part of the allocator concept

    void* Malloc(std::size_t size) {
        if (size == 0) return nullptr;
        auto* base = static_cast<unsigned char*>(::operator new(HEADER + size));
        std::memcpy(base, &size, sizeof size);
        return base + HEADER;
    }
    void* Realloc(void* original, std::size_t original_size, std::size_t new_size) {
        if (new_size == 0) {
            Free(original);
            return nullptr;
        }
        void* fresh = Malloc(new_size);
        if (original != nullptr) {
            std::memcpy(fresh, original, original_size < new_size ? original_size : new_size);
            Free(original);
        }
        return fresh;
    }
    static void Free(void* ptr) {
        if (ptr == nullptr) return;
        auto* base = static_cast<unsigned char*>(ptr) - HEADER;
        std::size_t size;
        std::memcpy(&size, base, sizeof size);
        secure_zero(base, HEADER + size);
        ::operator delete(base);
    }

private:
    static constexpr std::size_t HEADER = alignof(std::max_align_t);
};

// RapidJSON delivers strings as char; the check reads them as bytes.
bool valid_utf8_chars(const char* s, std::size_t n) {
    return valid_utf8({reinterpret_cast<const std::uint8_t*>(s), n});
}

// SAX handler: insists on a top-level object, bounds the nesting, validates
// every string, and remembers where the wanted member's string value lies (in
// place, inside the buffer). Any `false` ends the parse as malformed.
class FieldHandler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, FieldHandler> {
public:
    explicit FieldHandler(std::string_view field) : field_(field) {}

    bool Default() { return value(false, nullptr, 0); }
    bool String(const char* s, rapidjson::SizeType n, bool) {
        return valid_utf8_chars(s, n) && value(true, s, n);
    }
    bool Key(const char* s, rapidjson::SizeType n, bool) {
        if (!valid_utf8_chars(s, n)) return false;
        if (depth_ == 1) pending_ = n == field_.size() && std::memcmp(s, field_.data(), n) == 0;
        return true;
    }
    bool StartObject() {
        if (!started_) {
            started_ = true;
            return ++depth_ <= JSON_MAX_DEPTH;
        }
        return value(false, nullptr, 0) && ++depth_ <= JSON_MAX_DEPTH;
    }
    bool StartArray() { return value(false, nullptr, 0) && ++depth_ <= JSON_MAX_DEPTH; }
    bool EndObject(rapidjson::SizeType) { return --depth_, true; }
    bool EndArray(rapidjson::SizeType) { return --depth_, true; }

    bool found() const { return found_; }
    std::span<const std::uint8_t> text() const {
        return {reinterpret_cast<const std::uint8_t*>(text_), text_len_};
    }

private:
    // A value starts. Before the top-level object has begun, nothing but that
    // object may appear. A value of the wanted member replaces any earlier one.
    bool value(bool is_string, const char* s, std::size_t n) {
        if (!started_) return false;
        if (depth_ == 1 && pending_) {
            pending_ = false;
            found_ = is_string;
            text_ = s;
            text_len_ = n;
        }
        return true;
    }

    std::string_view field_;
    int depth_ = 0;
    bool started_ = false;
    bool pending_ = false;  // the last top-level key was the wanted one
    bool found_ = false;
    const char* text_ = nullptr;
    std::size_t text_len_ = 0;
};

// Decides every number before the reader sees it: one that overflows a double
// makes the text malformed; every other well-formed number becomes "0" padded
// with spaces, which the reader takes as an ordinary number in the same place.
// A run that is not one number is left for the reader to refuse. Strings are
// followed as the reader follows them (a backslash takes the next byte along).
bool settle_numbers(std::span<std::uint8_t> t) {
    const auto number = [](std::span<std::uint8_t> token) {
        bool integral = false;
        std::size_t digits = 0;
        if (json_number(token, integral, digits)) {
            if (!json_number_finite(token)) return false;
            std::memset(token.data(), ' ', token.size());
            token[0] = '0';
        }
        return true;
    };
    return walk_json_text(t, number, [](std::size_t) -> std::size_t { return 2; });
}

}  // namespace

Result<ZeroizingBuffer> json_field_base64url(std::span<std::uint8_t> buffer,
                                             std::string_view field) {
    const auto malformed_object = EnclaveError::malformed("json object");
    if (buffer.empty() || buffer.back() != 0) return malformed_object;
    const std::size_t n = buffer.size() - 1;
    // Parsing follows the text byte by byte, so the record's layout (and every
    // member but the wanted value) is declassified for it; the value is marked
    // secret again before it is decoded, in constant time.
    ct::declassify(buffer.data(), n, "parsing a decrypted record depends on its text by design");
    // The reader stops at the first NUL, which is never valid JSON anyway; and it
    // counts string lengths in 32 bits.
    if (n > std::numeric_limits<rapidjson::SizeType>::max() ||
        std::memchr(buffer.data(), 0, n) != nullptr)
        return malformed_object;
    // The whole text must be UTF-8 before the reader sees it: the reader's own
    // check takes a multi-byte sequence's continuation bytes without looking
    // for the end, so a lead byte just before the end mark would have it read
    // (and, parsing in place, write) past the buffer. Outside strings any
    // non-ASCII byte is a syntax error anyway.
    if (!valid_utf8(buffer.first(n))) return malformed_object;
    if (!settle_numbers(buffer.first(n))) return malformed_object;

    FieldHandler handler(field);
    {
        ZeroizingAllocator allocator;
        rapidjson::GenericReader<rapidjson::UTF8<>, rapidjson::UTF8<>, ZeroizingAllocator> reader(
            &allocator, 256);
        rapidjson::InsituStringStream stream(reinterpret_cast<char*>(buffer.data()));
        constexpr unsigned FLAGS =
            rapidjson::kParseInsituFlag | rapidjson::kParseValidateEncodingFlag;
        if (reader.Parse<FLAGS>(stream, handler).IsError()) return malformed_object;
    }
    if (!handler.found()) return EnclaveError::malformed("json field");
    ct::mark_secret(handler.text().data(), handler.text().size());
    return base64url_decode(handler.text());
}

}  // namespace velmora::codec
