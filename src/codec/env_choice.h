// Reading a variable that names one choice (VELMORA_MEMORY_LOCK,
// VELMORA_X25519_IMPL, VELMORA_MLKEM_IMPL), all by one rule: whitespace around
// the value (any Unicode space) is ignored, and so is the case of its letters.
#pragma once

#include <string_view>

namespace velmora::codec {

enum class EnvChoice {
    Unset,  // not set, empty, or only whitespace: the processor decides
    Named,  // names `word`
    Other,  // anything else, text that is not UTF-8 included
};

// What the variable's `value` (null when unset) says about `word` (lower-case
// ASCII).
EnvChoice env_choice(const char* value, std::string_view word);

}  // namespace velmora::codec
