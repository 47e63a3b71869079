// libFuzzer target for the sealed-session reader. Every input goes through the
// reader and through a second, deliberately plain reading of the same rules
// written here (recursive descent, no RapidJSON); the two must agree on
// whether the text is a record and on every field of it. Accepted records
// then go through the key decoding and locking as well.
//
//   cmake -S . -B build/fuzz -G Ninja -DVELMORA_BUILD_FUZZ=ON -DVELMORA_BUILD_EXTENSION=OFF \
//         -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
//         -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link,address,undefined
//   cmake --build build/fuzz --target sealed_session_fuzz
//   build/fuzz/sealed_session_fuzz -max_len=4096 fuzz/corpus_sealed_session
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "hybrid/sealed_session.h"

namespace {

using velmora::hybrid::SessionRecord;

struct Expected {
    std::string session_id, sign_key, enc_key;
    std::int64_t expires_at = 0;
};

// UTF-8 by decoding: a code point must use its shortest form, must not be a
// surrogate and must not pass U+10FFFF.
bool is_utf8(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t len;
        std::uint32_t cp;
        if (b < 0x80) {
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            len = 2;
            cp = b & 0x1F;
        } else if ((b & 0xF0) == 0xE0) {
            len = 3;
            cp = b & 0x0F;
        } else if ((b & 0xF8) == 0xF0) {
            len = 4;
            cp = b & 0x07;
        } else {
            return false;
        }
        if (i + len > s.size()) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        static const std::uint32_t MIN_CODE_POINT[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < MIN_CODE_POINT[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += len;
    }
    return true;
}

void put_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

class Plain {
public:
    Plain(const std::uint8_t* t, std::size_t n) : t_(t), n_(n) {}

    std::optional<Expected> record() {
        ws();
        if (peek() == '{') return object();
        if (peek() == '[') return array();
        return std::nullopt;
    }

private:
    struct Str {
        std::string bytes;
        bool unicode = true;  // no unpaired surrogate escape, and UTF-8
    };

    int peek() const { return i_ < n_ ? t_[i_] : -1; }
    bool eat(char c) {
        if (peek() != static_cast<unsigned char>(c)) return false;
        ++i_;
        return true;
    }
    void ws() {
        while (i_ < n_ && (t_[i_] == ' ' || t_[i_] == '\t' || t_[i_] == '\n' || t_[i_] == '\r'))
            ++i_;
    }
    bool at_end() {
        ws();
        return i_ == n_;
    }

    bool hex4(std::uint32_t& v) {
        if (n_ - i_ < 4) return false;
        v = 0;
        for (int k = 0; k < 4; ++k) {
            const int c = t_[i_++];
            int d;
            if (c >= '0' && c <= '9')
                d = c - '0';
            else if (c >= 'a' && c <= 'f')
                d = c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                d = c - 'A' + 10;
            else
                return false;
            v = v * 16 + static_cast<std::uint32_t>(d);
        }
        return true;
    }

    bool string(Str& s) {
        if (!eat('"')) return false;
        for (;;) {
            if (i_ >= n_) return false;
            const std::uint8_t c = t_[i_++];
            if (c == '"') break;
            if (c < 0x20) return false;
            if (c != '\\') {
                s.bytes += static_cast<char>(c);
                continue;
            }
            if (i_ >= n_) return false;
            const std::uint8_t e = t_[i_++];
            switch (e) {
                case '"':
                    s.bytes += '"';
                    break;
                case '\\':
                    s.bytes += '\\';
                    break;
                case '/':
                    s.bytes += '/';
                    break;
                case 'b':
                    s.bytes += '\b';
                    break;
                case 'f':
                    s.bytes += '\f';
                    break;
                case 'n':
                    s.bytes += '\n';
                    break;
                case 'r':
                    s.bytes += '\r';
                    break;
                case 't':
                    s.bytes += '\t';
                    break;
                case 'u': {
                    std::uint32_t u;
                    if (!hex4(u)) return false;
                    if (u >= 0xD800 && u <= 0xDBFF) {
                        const std::size_t mark = i_;
                        std::uint32_t lo;
                        if (n_ - i_ >= 6 && t_[i_] == '\\' && t_[i_ + 1] == 'u') {
                            i_ += 2;
                            if (hex4(lo) && lo >= 0xDC00 && lo <= 0xDFFF) {
                                put_utf8(s.bytes, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                                break;
                            }
                        }
                        i_ = mark;  // the next escape is read on its own
                        s.unicode = false;
                        s.bytes += '?';
                    } else if (u >= 0xDC00 && u <= 0xDFFF) {
                        s.unicode = false;
                        s.bytes += '?';
                    } else {
                        put_utf8(s.bytes, u);
                    }
                    break;
                }
                default:
                    return false;
            }
        }
        if (!is_utf8(s.bytes)) s.unicode = false;
        return true;
    }

    // A JSON number; `value` is set when it is an integer within 64 signed bits.
    bool number(std::optional<std::int64_t>& value) {
        const bool minus = eat('-');
        if (peek() < '0' || peek() > '9') return false;
        __int128 v = 0;
        bool big = false, integral = true;
        if (eat('0')) {
        } else {
            while (peek() >= '0' && peek() <= '9') {
                v = v * 10 + (t_[i_++] - '0');
                if (v > (static_cast<__int128>(1) << 64))
                    big = true, v = static_cast<__int128>(1) << 64;
            }
        }
        if (eat('.')) {
            integral = false;
            if (peek() < '0' || peek() > '9') return false;
            while (peek() >= '0' && peek() <= '9') ++i_;
        }
        if (eat('e') || eat('E')) {
            integral = false;
            if (!eat('+')) eat('-');
            if (peek() < '0' || peek() > '9') return false;
            while (peek() >= '0' && peek() <= '9') ++i_;
        }
        if (minus) v = -v;
        if (integral && !big && v >= INT64_MIN && v <= INT64_MAX)
            value = static_cast<std::int64_t>(v);
        return true;
    }

    bool literal(const char* word) {
        const std::size_t len = std::strlen(word);
        if (n_ - i_ < len || std::memcmp(t_ + i_, word, len) != 0) return false;
        i_ += len;
        return true;
    }

    // Any value, checked for syntax only.
    bool value() {
        ws();
        const int c = peek();
        if (c == '"') {
            Str s;
            return string(s);
        }
        if (c == '{') {
            ++i_;
            ws();
            if (eat('}')) return true;
            for (;;) {
                ws();
                Str name;
                if (!string(name)) return false;
                ws();
                if (!eat(':') || !value()) return false;
                ws();
                if (eat('}')) return true;
                if (!eat(',')) return false;
            }
        }
        if (c == '[') {
            ++i_;
            ws();
            if (eat(']')) return true;
            for (;;) {
                if (!value()) return false;
                ws();
                if (eat(']')) return true;
                if (!eat(',')) return false;
            }
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            std::optional<std::int64_t> ignored;
            return number(ignored);
        }
        return literal("true") || literal("false") || literal("null");
    }

    bool field(int which, Expected& out) {
        ws();
        if (which == 3) {
            std::optional<std::int64_t> v;
            if (!number(v) || !v) return false;
            out.expires_at = *v;
            return true;
        }
        Str s;
        if (!string(s) || !s.unicode) return false;
        (which == 0 ? out.session_id : which == 1 ? out.sign_key : out.enc_key) = s.bytes;
        return true;
    }

    std::optional<Expected> object() {
        static const char* NAMES[] = {"session_id", "sign_key", "enc_key", "expires_at"};
        ++i_;
        Expected out;
        bool seen[4] = {};
        ws();
        if (!eat('}')) {
            for (;;) {
                ws();
                Str name;
                if (!string(name) || !name.unicode) return std::nullopt;
                ws();
                if (!eat(':')) return std::nullopt;
                int which = -1;
                for (int k = 0; k < 4; ++k) {
                    if (name.bytes == NAMES[k]) which = k;
                }
                if (which < 0) {
                    if (!value()) return std::nullopt;
                } else {
                    if (seen[which] || !field(which, out)) return std::nullopt;
                    seen[which] = true;
                }
                ws();
                if (eat('}')) break;
                if (!eat(',')) return std::nullopt;
            }
        }
        if (!(seen[0] && seen[1] && seen[2] && seen[3]) || !at_end()) return std::nullopt;
        return out;
    }

    std::optional<Expected> array() {
        ++i_;
        Expected out;
        for (int k = 0; k < 4; ++k) {
            if (!field(k, out)) return std::nullopt;
            ws();
            if (!eat(k == 3 ? ']' : ',')) return std::nullopt;
        }
        if (!at_end()) return std::nullopt;
        return out;
    }

    const std::uint8_t* t_;
    std::size_t n_;
    std::size_t i_ = 0;
};

std::string text(std::span<const std::uint8_t> s) {
    return std::string(reinterpret_cast<const char*>(s.data()), s.size());
}

[[noreturn]] void disagree(const char* what, const std::uint8_t* data, std::size_t size) {
    std::fprintf(stderr, "sealed session reader disagrees (%s) on %zu bytes\n", what, size);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::optional<Expected> expected = Plain(data, size).record();

    std::vector<std::uint8_t> buf(data, data + size);
    auto got = velmora::hybrid::read_sealed_session(buf);
    if (got.has_value() != expected.has_value()) disagree(got ? "accepted" : "refused", data, size);
    if (!got) {
        if (velmora::format_message(got.error()) !=
            velmora::format_message(velmora::EnclaveError::malformed("sealed session")))
            disagree("error", data, size);
        return 0;
    }
    const SessionRecord& r = *got;
    if (text(r.session_id) != expected->session_id) disagree("session_id", data, size);
    if (text(r.sign_key) != expected->sign_key) disagree("sign_key", data, size);
    if (text(r.enc_key) != expected->enc_key) disagree("enc_key", data, size);
    if (r.expires_at != expected->expires_at) disagree("expires_at", data, size);
    for (auto f : {r.session_id, r.sign_key, r.enc_key}) {
        if (!f.empty() && (f.data() < buf.data() || f.data() + f.size() > buf.data() + buf.size()))
            disagree("field outside the text", data, size);
    }

    // The rest of the way: both keys decoded, checked and locked.
    std::vector<std::uint8_t> again(data, data + size);
    auto opened = velmora::hybrid::open_session_record(again);
    if (opened && (opened->sign_key.len() != 32 || opened->enc_key.len() != 32 ||
                   opened->session_id != expected->session_id))
        disagree("opened session", data, size);
    return 0;
}
