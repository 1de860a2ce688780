#include "secure.h"

#include <string.h>

namespace vestrel {

void secure_wipe(void* p, std::size_t n) noexcept {
  // glibc's explicit_bzero is documented never to be removed by the compiler.
  if (n != 0) explicit_bzero(p, n);
}

}  // namespace vestrel
