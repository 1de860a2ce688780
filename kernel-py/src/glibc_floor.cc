// Linked into every extension module that carries its own copy of the C++
// runtime (see vestrel_add_python_module). The copies of libstdc++ and libgcc
// that g++ 12 links statically were built against a recent glibc and refer to
// a few of its newer symbols. Left alone, each would make the module refuse to
// load on a glibc older than the one that introduced it, although the module
// needs none of what they add. Defined here, the references bind inside the
// module (the version script keeps these definitions local), so the oldest
// glibc the module asks for stays at 2.28 or below; tools/elf_policy.py
// checks the result.
//
// Only C headers: nothing here may depend on the runtime it stands beside.
#include <dlfcn.h>
#include <link.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

extern "C" {

// libstdc++'s reference counts (std::string's copy-on-write copies, shared
// pointers) skip their atomic instructions when glibc reports a process with
// a single thread (since 2.32). Zero is the answer that is always safe: the
// counts are then always atomic.
char __libc_single_threaded = 0;

// The unwinder calls these for its per-thread state. They are in glibc from
// its first release for the processor (2.2.5 on x86-64, 2.17 on aarch64), but
// a program linked against 2.34 or later gets the versions that moved from
// libpthread into libc. The older versions are the same functions; on a glibc
// before 2.34 they are found in libpthread, which every CPython of that era
// has loaded.
#if defined(__x86_64__)
#define VESTREL_GLIBC_FIRST "GLIBC_2.2.5"
#elif defined(__aarch64__)
#define VESTREL_GLIBC_FIRST "GLIBC_2.17"
#else
#error "name the first glibc symbol version of this processor"
#endif
int vestrel_pthread_once_first(pthread_once_t* control, void (*init)());
int vestrel_pthread_key_create_first(pthread_key_t* key, void (*destructor)(void*));
__asm__(".symver vestrel_pthread_once_first, pthread_once@" VESTREL_GLIBC_FIRST);
__asm__(".symver vestrel_pthread_key_create_first, __pthread_key_create@" VESTREL_GLIBC_FIRST);

int pthread_once(pthread_once_t* control, void (*init)()) {
  return vestrel_pthread_once_first(control, init);
}

int __pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
  return vestrel_pthread_key_create_first(key, destructor);
}

// The same move, for the runtime's thread-local destructors (used by the
// buffers each thread keeps for tokens) and the reader-writer lock behind
// std::shared_mutex.
int vestrel_pthread_key_delete_first(pthread_key_t key);
void* vestrel_pthread_getspecific_first(pthread_key_t key);
int vestrel_pthread_setspecific_first(pthread_key_t key, const void* value);
int vestrel_pthread_rwlock_rdlock_first(pthread_rwlock_t* lock);
int vestrel_pthread_rwlock_wrlock_first(pthread_rwlock_t* lock);
int vestrel_pthread_rwlock_unlock_first(pthread_rwlock_t* lock);
__asm__(".symver vestrel_pthread_key_delete_first, pthread_key_delete@" VESTREL_GLIBC_FIRST);
__asm__(".symver vestrel_pthread_getspecific_first, pthread_getspecific@" VESTREL_GLIBC_FIRST);
__asm__(".symver vestrel_pthread_setspecific_first, pthread_setspecific@" VESTREL_GLIBC_FIRST);
__asm__(".symver vestrel_pthread_rwlock_rdlock_first, pthread_rwlock_rdlock@" VESTREL_GLIBC_FIRST);
__asm__(".symver vestrel_pthread_rwlock_wrlock_first, pthread_rwlock_wrlock@" VESTREL_GLIBC_FIRST);
__asm__(".symver vestrel_pthread_rwlock_unlock_first, pthread_rwlock_unlock@" VESTREL_GLIBC_FIRST);

int pthread_key_create(pthread_key_t* key, void (*destructor)(void*)) {
  return vestrel_pthread_key_create_first(key, destructor);
}
int pthread_key_delete(pthread_key_t key) { return vestrel_pthread_key_delete_first(key); }
void* pthread_getspecific(pthread_key_t key) { return vestrel_pthread_getspecific_first(key); }
// glibc declares the value as never read, which the forwarding call trips on.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
int pthread_setspecific(pthread_key_t key, const void* value) {
  return vestrel_pthread_setspecific_first(key, value);
}
#pragma GCC diagnostic pop
int pthread_rwlock_rdlock(pthread_rwlock_t* lock) {
  return vestrel_pthread_rwlock_rdlock_first(lock);
}
int pthread_rwlock_wrlock(pthread_rwlock_t* lock) {
  return vestrel_pthread_rwlock_wrlock_first(lock);
}
int pthread_rwlock_unlock(pthread_rwlock_t* lock) {
  return vestrel_pthread_rwlock_unlock_first(lock);
}

// The unwinder finds the exception tables of the code a frame belongs to
// through _dl_find_object (glibc 2.35), without a fallback once built against
// it. The same answer comes from walking the loaded objects' program headers,
// which is what the unwinder itself did before. It reads only dlfo_eh_frame.
namespace {

struct ObjectSearch {
  std::uintptr_t address;
  dl_find_object* result;
};

int visit_object(dl_phdr_info* info, std::size_t /*size*/, void* data) {
  auto* search = static_cast<ObjectSearch*>(data);
  std::uintptr_t low = UINTPTR_MAX;
  std::uintptr_t high = 0;
  bool inside = false;
  const ElfW(Phdr)* eh_frame = nullptr;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type == PT_GNU_EH_FRAME) eh_frame = &header;
    if (header.p_type != PT_LOAD) continue;
    const std::uintptr_t start = info->dlpi_addr + header.p_vaddr;
    const std::uintptr_t end = start + header.p_memsz;
    if (search->address >= start && search->address < end) inside = true;
    if (start < low) low = start;
    if (end > high) high = end;
  }
  if (!inside) return 0;
  dl_find_object* result = search->result;
  result->dlfo_flags = 0;
  result->dlfo_map_start = reinterpret_cast<void*>(low);
  result->dlfo_map_end = reinterpret_cast<void*>(high);
  result->dlfo_link_map = nullptr;
  result->dlfo_eh_frame =
      eh_frame == nullptr ? nullptr : reinterpret_cast<void*>(info->dlpi_addr + eh_frame->p_vaddr);
  return 1;
}

}  // namespace

int _dl_find_object(void* address, dl_find_object* result) {
  ObjectSearch search{reinterpret_cast<std::uintptr_t>(address), result};
  return dl_iterate_phdr(visit_object, &search) != 0 ? 0 : -1;
}

// std::random_device's "arc4random" source (glibc 2.36). The verifier seeds
// its tables from a random_device; it reads the system's random source as
// glibc's would.
std::uint32_t arc4random() {
  std::uint32_t value = 0;
  auto* out = reinterpret_cast<unsigned char*>(&value);
  std::size_t filled = 0;
  while (filled < sizeof value) {
    const long got = syscall(SYS_getrandom, out + filled, sizeof value - filled, 0);
    if (got > 0) {
      filled += static_cast<std::size_t>(got);
    } else if (got < 0 && errno != EINTR) {
      __builtin_trap();
    }
  }
  return value;
}

}  // extern "C"
