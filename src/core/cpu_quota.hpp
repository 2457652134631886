// The CPU quota of a container: how many CPUs' worth of time the control groups of this process
// may use, which `docker run --cpus` and Kubernetes limits set while the affinity mask still
// shows every CPU of the host. Threads beyond the quota only take turns.
//
// The files are read under a root directory that stands for "/", so a test can lay out a tree of
// its own: root/proc/self/cgroup names the process's groups, one "ID:CONTROLLERS:PATH" line per
// hierarchy ("0::PATH" for the unified cgroup v2 one). Every level of PATH, from the group itself
// up to the hierarchy's root, may carry a limit, and the smallest counts:
//   - cgroup v2: root/sys/fs/cgroup/PATH/cpu.max holds "max PERIOD" (no limit) or "QUOTA PERIOD";
//   - cgroup v1: the hierarchy whose CONTROLLERS include "cpu", mounted at
//     root/sys/fs/cgroup/CONTROLLERS (or .../cpu), holds cpu.cfs_quota_us (-1: no limit) and
//     cpu.cfs_period_us at each level.
// A level whose directory does not exist (a container that sees its own group as the root while
// /proc/self/cgroup names the host's path) is skipped, so the root of the mount is always read.
// Missing, unreadable or malformed files count as no limit: the quota can only lower the count.
#pragma once

#include <filesystem>
#include <optional>

namespace ontarix {

// ceil(quota / period) of the smallest limit found, at least 1; nullopt when there is none.
std::optional<unsigned> cgroup_cpu_limit(const std::filesystem::path& root);

}  // namespace ontarix
