#include "error/error.h"

#include <string>

namespace velmora {

namespace {

std::string str(std::uint64_t v) { return std::to_string(v); }

}  // namespace

std::string format_message(const EnclaveError& e) {
    switch (e.kind) {
        case ErrorKind::Wiped:
            return "secret box was wiped \u00b7 a caixa de segredo foi apagada";
        case ErrorKind::ForkChild:
            return "secret box is empty in this fork() child; secrets never survive a fork "
                   "\u00b7 a caixa est\u00e1 vazia neste filho de fork(); segredos nunca "
                   "sobrevivem a um fork";
        case ErrorKind::LockRequired: {
            const std::string n = std::to_string(e.errno_value);
            return "mlock failed (errno " + n +
                   ") and VELMORA_MEMORY_LOCK=require; raise `ulimit -l` or grant CAP_IPC_LOCK "
                   "\u00b7 mlock falhou (errno " +
                   n +
                   ") com VELMORA_MEMORY_LOCK=require; aumente `ulimit -l` ou conceda "
                   "CAP_IPC_LOCK";
        }
        case ErrorKind::AllocationFailed:
            return "could not allocate a locked page \u00b7 n\u00e3o foi poss\u00edvel alocar "
                   "uma p\u00e1gina travada";
        case ErrorKind::EmptySecret:
            return "a secret cannot be empty \u00b7 um segredo n\u00e3o pode ser vazio";
        case ErrorKind::WrongLength:
            return std::string(e.what ? e.what : "") + ": expected " + str(e.expected) +
                   " bytes, got " + str(e.got) + " \u00b7 esperava " + str(e.expected) +
                   " bytes, recebeu " + str(e.got);
        case ErrorKind::KeyRejected:
            return "key failed validation \u00b7 chave falhou na valida\u00e7\u00e3o";
        case ErrorKind::OpenFailed:
        case ErrorKind::SealFailed:
            return "ciphertext did not open \u00b7 ciphertext n\u00e3o abriu";
        case ErrorKind::StreamFinished:
            return "stream already finished \u00b7 stream j\u00e1 terminou";
        case ErrorKind::Malformed: {
            const std::string what = e.what ? e.what : "";
            return "malformed " + what + " \u00b7 " + what + " malformado";
        }
        case ErrorKind::RngFailed:
            return "operating system RNG failed \u00b7 RNG do sistema operacional falhou";
        case ErrorKind::KeyMaterialDrawFailed:
            return "velmora._secure: the operating system RNG failed while drawing key material";
    }
    return "unknown enclave error";
}

}  // namespace velmora
