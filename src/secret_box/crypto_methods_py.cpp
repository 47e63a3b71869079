#include "secret_box/secret_box.h"

namespace velmora {

const PyMethodDef* secret_box_crypto_methods() {
    static const PyMethodDef methods[] = {{nullptr, nullptr, 0, nullptr}};
    return methods;
}

}  // namespace velmora
