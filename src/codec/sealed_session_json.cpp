#include "codec/sealed_session_json.h"

#include <cstring>
#include <limits>
#include <string_view>

#include <rapidjson/reader.h>

#include "codec/json_number.h"
#include "codec/utf8.h"

namespace velmora::codec {

namespace {

constexpr const char* MALFORMED = "sealed session";

// A bounded in-place stream for RapidJSON's reader: reads the text and lets the
// reader write unescaped strings back over it. Reading past the end yields the
// reader's end-of-input NUL; the text itself holds no NUL (checked first).
// The reader reports string lengths as 32-bit values, so the true length of
// the last string written is kept here as well.
class InPlaceStream {
public:
    typedef char Ch;

    InPlaceStream(char* text, std::size_t n) : begin_(text), src_(text), end_(text + n) {}

    Ch Peek() const { return src_ < end_ ? *src_ : '\0'; }
    Ch Take() { return src_ < end_ ? *src_++ : '\0'; }
    std::size_t Tell() const { return static_cast<std::size_t>(src_ - begin_); }

    // The writer never overtakes the reader: every byte put was taken first.
    Ch* PutBegin() { return dst_ = src_; }
    void Put(Ch c) { *dst_++ = c; }
    void Flush() {}
    std::size_t PutEnd(Ch* begin) {
        last_ = static_cast<std::size_t>(dst_ - begin);
        return last_;
    }

    // Length of the string just delivered, without its terminator.
    std::size_t last_string_length() const { return last_ - 1; }

private:
    char* begin_;
    char* src_;
    char* end_;
    char* dst_ = nullptr;
    std::size_t last_ = 0;
};

int hex_digit(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The code unit of a \uXXXX escape starting at t[i], or -1.
long escape_at(std::span<const std::uint8_t> t, std::size_t i) {
    if (t.size() - i < 6 || t[i] != '\\' || t[i + 1] != 'u') return -1;
    long v = 0;
    for (std::size_t k = 2; k < 6; ++k) {
        const int d = hex_digit(t[i + k]);
        if (d < 0) return -1;
        v = v * 16 + d;
    }
    return v;
}

// Brings the text within what RapidJSON's reader handles, without changing
// which texts are records or what a record holds. The reader refuses two
// well-formed things that an ignored member may contain:
//  - numbers beyond the range of a double (1e400, 400-digit integers). No
//    number with a fraction or an exponent, or with more than 20 integer
//    digits, can be `expires_at`, so each becomes "0.0" padded with spaces:
//    still a number that is not an integer, in the same place.
//  - a \u escape of a high surrogate not followed by one of a low surrogate.
//    It becomes a lone low-surrogate escape, which the reader accepts and
//    encodes as bytes that are not UTF-8, so the record's own strings still
//    refuse it.
// Strings are followed exactly as the reader follows them (a backslash always
// takes the next byte with it), so both agree on what is inside a string up to
// the point where the reader would fail anyway.
void prepare_for_reader(std::span<std::uint8_t> t) {
    const auto number = [](std::span<std::uint8_t> token) {
        bool integral = false;
        std::size_t digits = 0;
        if (json_number(token, integral, digits) && (!integral || digits > 20)) {
            std::memset(token.data(), ' ', token.size());
            std::memcpy(token.data(), "0.0", 3);
        }
        return true;
    };
    const auto escape = [t](std::size_t i) -> std::size_t {
        const long unit = escape_at(t, i);
        if (unit < 0xD800 || unit > 0xDBFF) return 2;
        const long next = escape_at(t, i + 6);
        if (next >= 0xDC00 && next <= 0xDFFF) return 12;
        std::memcpy(&t[i + 2], "DC00", 4);
        return 6;
    };
    walk_json_text(t, number, escape);
}

enum class Slot { SessionId, SignKey, EncKey, ExpiresAt, Ignored };
constexpr std::size_t FIELDS = 4;  // the first four slots, in array order

// SAX handler: accepts the record as an object (any member order, other
// members skipped whatever their depth) or as the four-value array. Returning
// false stops the reader, which then reports an error.
class SessionHandler {
public:
    typedef char Ch;
    typedef rapidjson::SizeType SizeType;

    explicit SessionHandler(const InPlaceStream& stream) : stream_(stream) {}

    bool complete() const { return shape_ != Shape::None && depth_ == 0 && all_seen(); }
    SessionRecord record() const { return record_; }

    bool StartObject() { return start_container(Shape::Object); }
    bool StartArray() { return start_container(Shape::Array); }
    bool EndObject(SizeType) { return end_container(); }
    bool EndArray(SizeType) { return end_container(); }

    bool Key(const Ch* str, SizeType, bool) {
        if (skip_ > 0) return true;
        // Only the record's own member names reach here.
        const std::span<const std::uint8_t> name = text(str);
        if (!valid_utf8(name)) return false;
        const std::string_view n(str, name.size());
        if (n == "session_id") return expect(Slot::SessionId);
        if (n == "sign_key") return expect(Slot::SignKey);
        if (n == "enc_key") return expect(Slot::EncKey);
        if (n == "expires_at") return expect(Slot::ExpiresAt);
        pending_ = Slot::Ignored;
        return true;
    }

    bool String(const Ch* str, SizeType, bool) {
        if (skip_ > 0) return true;
        Slot slot;
        if (!take_slot(slot)) return false;
        if (slot == Slot::Ignored) return true;
        if (slot == Slot::ExpiresAt) return false;
        const std::span<const std::uint8_t> value = text(str);
        if (!valid_utf8(value)) return false;
        if (slot == Slot::SessionId) record_.session_id = value;
        if (slot == Slot::SignKey) record_.sign_key = value;
        if (slot == Slot::EncKey) record_.enc_key = value;
        return true;
    }

    bool Int(int v) { return integer(v); }
    bool Int64(std::int64_t v) { return integer(v); }
    bool Uint(unsigned v) { return integer(v); }
    bool Uint64(std::uint64_t v) {
        if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
            return other_value();
        return integer(static_cast<std::int64_t>(v));
    }
    // Fractions, exponents and integers beyond 64 bits all arrive as doubles.
    bool Double(double) { return other_value(); }
    bool Null() { return other_value(); }
    bool Bool(bool) { return other_value(); }
    bool RawNumber(const Ch*, SizeType, bool) { return other_value(); }

private:
    enum class Shape { None, Object, Array };

    std::span<const std::uint8_t> text(const Ch* str) const {
        return {reinterpret_cast<const std::uint8_t*>(str), stream_.last_string_length()};
    }

    bool start_container(Shape shape) {
        if (skip_ > 0) {
            ++skip_;
            return true;
        }
        if (depth_ == 0) {
            if (shape_ != Shape::None) return false;  // nothing may follow the record
            shape_ = shape;
            depth_ = 1;
            return true;
        }
        // A container as a value of the record: only an ignored member may be one.
        Slot slot;
        if (!take_slot(slot) || slot != Slot::Ignored) return false;
        skip_ = 1;
        return true;
    }

    bool end_container() {
        if (skip_ > 0) {
            --skip_;
            return true;
        }
        depth_ = 0;
        if (shape_ == Shape::Array && index_ != FIELDS) return false;
        return all_seen();
    }

    bool all_seen() const { return seen_[0] && seen_[1] && seen_[2] && seen_[3]; }

    // A member name of the record: each of the four at most once.
    bool expect(Slot slot) {
        const auto i = static_cast<std::size_t>(slot);
        if (seen_[i]) return false;
        seen_[i] = true;
        pending_ = slot;
        return true;
    }

    // Which field the value now arriving fills.
    bool take_slot(Slot& slot) {
        if (shape_ == Shape::Object) {
            slot = pending_;
            pending_ = Slot::Ignored;
            return true;
        }
        if (shape_ != Shape::Array || index_ >= FIELDS) return false;
        seen_[index_] = true;
        slot = static_cast<Slot>(index_++);
        return true;
    }

    bool integer(std::int64_t v) {
        if (skip_ > 0) return true;
        Slot slot;
        if (!take_slot(slot)) return false;
        if (slot == Slot::Ignored) return true;
        if (slot != Slot::ExpiresAt) return false;
        record_.expires_at = v;
        return true;
    }

    bool other_value() {
        if (skip_ > 0) return true;
        Slot slot;
        if (!take_slot(slot)) return false;
        return slot == Slot::Ignored;
    }

    const InPlaceStream& stream_;
    Shape shape_ = Shape::None;
    std::size_t depth_ = 0;  // 1 inside the record itself
    std::size_t skip_ = 0;   // nesting inside an ignored member's value
    Slot pending_ = Slot::Ignored;
    std::size_t index_ = 0;  // next array element
    bool seen_[FIELDS] = {};
    SessionRecord record_;
};

}  // namespace

Result<SessionRecord> read_sealed_session(std::span<std::uint8_t> json) {
    // A NUL byte can appear nowhere in a JSON text, and the reader would take
    // it for the end of the input: refuse it before parsing.
    if (json.empty() || std::memchr(json.data(), 0, json.size()) != nullptr)
        return EnclaveError::malformed(MALFORMED);

    // Iterative parsing keeps its nesting on the heap, so ignored members of
    // any depth cannot exhaust the call stack. Encoding is not validated by the
    // reader: only the record's own strings must be UTF-8, checked above.
    prepare_for_reader(json);
    constexpr unsigned FLAGS = rapidjson::kParseInsituFlag | rapidjson::kParseIterativeFlag;
    InPlaceStream stream(reinterpret_cast<char*>(json.data()), json.size());
    SessionHandler handler(stream);
    rapidjson::Reader reader;
    const rapidjson::ParseResult ok = reader.Parse<FLAGS>(stream, handler);
    if (!ok || !handler.complete()) return EnclaveError::malformed(MALFORMED);
    return handler.record();
}

}  // namespace velmora::codec
