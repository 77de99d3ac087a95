#ifndef BASE_OUT_OF_MEMORY_H_
#define BASE_OUT_OF_MEMORY_H_

#include <stddef.h>

namespace base {

// Writes the FATAL out-of-memory entries for a failed allocation of |size|
// bytes (the size entry only when |size| is nonzero) and runs their end
// action, which ends the process by SIGTRAP unless a debugger or the fatal
// hook lets it go on. Allocates nothing and takes no lock, so it works from
// inside any allocation, before the program's own initialisation and with
// the heap exhausted. A call made while the same thread is still inside an
// earlier one (a failure in the fatal hook) traps at once and writes nothing.
// Keeps errno.
void ReportOutOfMemory(size_t size);

}  // namespace base

#endif  // BASE_OUT_OF_MEMORY_H_
