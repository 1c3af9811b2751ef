// The kernel tends to start a new thread on the processor of the thread that
// made it, and to run it there first. The sweep's member 0 then waits, with
// its whole share before it, until the load balancer moves one of the two,
// one scheduler tick (4 ms on a machine with the usual 250 Hz) while another
// processor idles. A worker that starts where member 0 runs moves itself
// instead. It sets its mask to one other processor, which moves it at once,
// and sets its own mask back straight away: the processors the user allowed
// (taskset, a cgroup, OMP_PROC_BIND) stay the ones it may run on, and the
// kernel stays free to move it again.
//
// Member 0 may itself have been moved before it starts. A worker that starts
// before member 0 says where it runs goes by where it was, so it looks again
// once it has moved, by when member 0 has most often said.

#include "thread_placement.hpp"

#include <atomic>

#include <sched.h>

namespace primecheck {

void settle_member(int& first_processor, std::uint32_t member) {
    const std::atomic_ref<int> first(first_processor);
    if (member == 0) {
        first.store(sched_getcpu(), std::memory_order_relaxed);
        return;
    }
    for (int look = 0; look < 2; ++look) {
        if (move_off_processor(first.load(std::memory_order_relaxed), member) == 0) {
            return;
        }
    }
}

int move_off_processor(int taken, std::uint32_t member) {
    cpu_set_t allowed;
    if (member == 0 || taken < 0 || sched_getcpu() != taken ||
        sched_getaffinity(0, sizeof allowed, &allowed) != 0) {
        return 0;
    }
    const int others = CPU_COUNT(&allowed) - (CPU_ISSET(taken, &allowed) ? 1 : 0);
    if (others <= 0) {
        return 0;
    }
    int pick = static_cast<int>((member - 1) % static_cast<std::uint32_t>(others));
    cpu_set_t target;
    CPU_ZERO(&target);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (cpu != taken && CPU_ISSET(cpu, &allowed) && pick-- == 0) {
            CPU_SET(cpu, &target);
            break;
        }
    }
    if (sched_setaffinity(0, sizeof target, &target) != 0) {
        return 0;
    }
    sched_setaffinity(0, sizeof allowed, &allowed);
    return 1;
}

} // namespace primecheck
