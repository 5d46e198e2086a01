// Keeps a file that shrinks while it is mapped from killing the process.
//
// Reading a mapped page past the end of a file that another program cut
// raises SIGBUS. One process-wide handler (installed once, chained to the
// handler in place before it) looks the faulting address up among the
// mappings registered here; when it lies in one, anonymous zero pages are
// mapped over the missing part of that mapping, its "changed size" flag is
// raised and the read goes on, finding zeros. The owner of the mapping
// checks the flag and reports the file as changed. Any other fault goes to
// the previous handler, or to the default action.
#pragma once

#include <cstddef>

namespace pellumo {

// Registers [base, base + length) and returns its slot, or -1 when every
// slot is taken (the mapping is then unguarded, still usable).
int guard_mapping(const void* base, std::size_t length);
// Forgets a slot; call before unmapping.
void unguard_mapping(int slot);
// Whether a fault in the slot's mapping was answered with zeros.
bool mapping_size_changed(int slot);

}  // namespace pellumo
