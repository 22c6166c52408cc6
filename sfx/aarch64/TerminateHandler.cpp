// The C++ runtime's default terminate handler names the type of an uncaught exception, which drags
// the whole name demangler into the stub. The front end catches every exception; a plain abort is all
// it needs. On x86-64 a --defsym to abort replaces it; aarch64's linker cannot point the handler's GOT
// entry in a position-independent program at the C library's abort, so the aarch64 stub defines it here
// and libstdc++'s own is never linked.
#include <cstdlib>

namespace __gnu_cxx {
void __verbose_terminate_handler();
void __verbose_terminate_handler() { std::abort(); }
} // namespace __gnu_cxx
