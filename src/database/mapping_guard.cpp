#include "database/mapping_guard.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace pellumo {
namespace {

// Slots are read by the signal handler without locks: a slot is published
// by storing its length last and withdrawn by clearing its length first.
constexpr int kSlots = 4096;

struct Slot {
  std::atomic<std::uintptr_t> base{0};
  std::atomic<std::size_t> length{0};
  std::atomic<bool> changed{false};
  std::atomic<bool> taken{false};
};

Slot g_slots[kSlots];
struct sigaction g_previous {};
std::once_flag g_installed;

void forward(int sig, siginfo_t* info, void* context) {
  if (g_previous.sa_flags & SA_SIGINFO) {
    if (g_previous.sa_sigaction != nullptr) {
      g_previous.sa_sigaction(sig, info, context);
      return;
    }
  } else if (g_previous.sa_handler != SIG_DFL && g_previous.sa_handler != SIG_IGN &&
             g_previous.sa_handler != nullptr) {
    g_previous.sa_handler(sig);
    return;
  }
  // The default action: returning re-runs the faulting access, which now
  // meets the default disposition and ends the process as it would have.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(SIGBUS, &dfl, nullptr);
}

void on_sigbus(int sig, siginfo_t* info, void* context) {
  const auto addr = reinterpret_cast<std::uintptr_t>(info != nullptr ? info->si_addr : nullptr);
  if (info != nullptr && info->si_code != SI_USER) {
    for (Slot& s : g_slots) {
      const std::size_t length = s.length.load(std::memory_order_acquire);
      if (length == 0) continue;
      const std::uintptr_t base = s.base.load(std::memory_order_relaxed);
      if (addr < base || addr - base >= length) continue;
      const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
      const std::uintptr_t from = addr & ~(page - 1);
      const std::uintptr_t end = (base + length + page - 1) & ~(page - 1);
      void* zeros = mmap(reinterpret_cast<void*>(from), end - from, PROT_READ,
                         MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (zeros == MAP_FAILED) break;  // cannot help: let the fault take its course
      s.changed.store(true, std::memory_order_release);
      return;
    }
  }
  forward(sig, info, context);
}

void install() {
  struct sigaction action {};
  action.sa_sigaction = on_sigbus;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigemptyset(&action.sa_mask);
  sigaction(SIGBUS, &action, &g_previous);
}

}  // namespace

int guard_mapping(const void* base, std::size_t length) {
  if (base == nullptr || length == 0) return -1;
  std::call_once(g_installed, install);
  for (int i = 0; i < kSlots; ++i) {
    bool expected = false;
    if (!g_slots[i].taken.compare_exchange_strong(expected, true)) continue;
    g_slots[i].changed.store(false, std::memory_order_relaxed);
    g_slots[i].base.store(reinterpret_cast<std::uintptr_t>(base), std::memory_order_relaxed);
    g_slots[i].length.store(length, std::memory_order_release);
    return i;
  }
  return -1;
}

void unguard_mapping(int slot) {
  if (slot < 0 || slot >= kSlots) return;
  g_slots[slot].length.store(0, std::memory_order_release);
  g_slots[slot].base.store(0, std::memory_order_relaxed);
  g_slots[slot].taken.store(false, std::memory_order_release);
}

bool mapping_size_changed(int slot) {
  if (slot < 0 || slot >= kSlots) return false;
  return g_slots[slot].changed.load(std::memory_order_acquire);
}

}  // namespace pellumo
