#include "core/cpu_quota.hpp"

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace ontarix {
namespace {

namespace fs = std::filesystem;

// The smallest quota seen, as quota / period CPUs.
struct Limit {
    std::int64_t quota = 0;  // 0: none seen
    std::int64_t period = 1;

    void offer(std::int64_t q, std::int64_t p) {
        if (q <= 0 || p <= 0) return;
        // q / p < quota / period, without rounding: both products fit (each factor < 2^62 / 10).
        if (quota == 0 || static_cast<__int128>(q) * period < static_cast<__int128>(quota) * p) {
            quota = q;
            period = p;
        }
    }
};

std::optional<std::string> read_small_file(const fs::path& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return std::nullopt;
    return text.str();
}

std::optional<std::int64_t> parse_int(std::string_view text) {
    std::int64_t value = 0;
    bool negative = false;
    std::size_t i = 0;
    if (i < text.size() && text[i] == '-') {
        negative = true;
        ++i;
    }
    if (i == text.size()) return std::nullopt;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return std::nullopt;
        if (value > (INT64_MAX - 9) / 10) return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return negative ? -value : value;
}

// The whitespace-separated words of a file's text.
std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string word; in >> word;) out.push_back(word);
    return out;
}

// cgroup v2: "max PERIOD" or "QUOTA PERIOD".
void read_cpu_max(const fs::path& dir, Limit& limit) {
    const std::optional<std::string> text = read_small_file(dir / "cpu.max");
    if (!text) return;
    const std::vector<std::string> w = words(*text);
    if (w.size() != 2 || w[0] == "max") return;
    const auto quota = parse_int(w[0]);
    const auto period = parse_int(w[1]);
    if (quota && period) limit.offer(*quota, *period);
}

// cgroup v1: cpu.cfs_quota_us (-1 when unlimited) over cpu.cfs_period_us.
void read_cfs(const fs::path& dir, Limit& limit) {
    const std::optional<std::string> quota_text = read_small_file(dir / "cpu.cfs_quota_us");
    if (!quota_text) return;
    const std::optional<std::string> period_text = read_small_file(dir / "cpu.cfs_period_us");
    if (!period_text) return;
    const std::vector<std::string> q = words(*quota_text);
    const std::vector<std::string> p = words(*period_text);
    if (q.size() != 1 || p.size() != 1) return;
    const auto quota = parse_int(q[0]);
    const auto period = parse_int(p[0]);
    if (quota && period) limit.offer(*quota, *period);
}

bool directory_exists(const fs::path& path) {
    std::error_code error;
    return fs::is_directory(path, error);
}

// Reads every level of `group` (a path such as "/a/b") under `mount`, from the group up to the
// mount itself, skipping levels that do not exist there.
template <class Read>
void each_level(const fs::path& mount, std::string_view group, Read&& read) {
    std::string path(group);
    for (;;) {
        while (!path.empty() && path.back() == '/') path.pop_back();
        const std::string_view relative =
            std::string_view(path).substr(path.find_first_not_of('/') == std::string::npos
                                              ? path.size()
                                              : path.find_first_not_of('/'));
        const fs::path dir = relative.empty() ? mount : mount / fs::path(relative);
        if (directory_exists(dir)) read(dir);
        if (relative.empty()) return;
        const std::size_t slash = path.rfind('/');
        path.resize(slash == std::string::npos ? 0 : slash);
    }
}

bool lists_cpu(std::string_view controllers) {
    while (!controllers.empty()) {
        const std::size_t comma = controllers.find(',');
        if (controllers.substr(0, comma) == "cpu") return true;
        if (comma == std::string_view::npos) break;
        controllers.remove_prefix(comma + 1);
    }
    return false;
}

}  // namespace

std::optional<unsigned> cgroup_cpu_limit(const fs::path& root) {
    try {
        const std::optional<std::string> groups = read_small_file(root / "proc/self/cgroup");
        if (!groups) return std::nullopt;
        const fs::path base = root / "sys/fs/cgroup";
        Limit limit;
        std::istringstream lines(*groups);
        for (std::string line; std::getline(lines, line);) {
            const std::size_t first = line.find(':');
            if (first == std::string::npos) continue;
            const std::size_t second = line.find(':', first + 1);
            if (second == std::string::npos) continue;
            const std::string_view id = std::string_view(line).substr(0, first);
            const std::string_view controllers =
                std::string_view(line).substr(first + 1, second - first - 1);
            const std::string_view group = std::string_view(line).substr(second + 1);
            if (id == "0" && controllers.empty()) {
                each_level(base, group, [&](const fs::path& dir) { read_cpu_max(dir, limit); });
            } else if (lists_cpu(controllers)) {
                for (const fs::path& mount : {base / fs::path(controllers), base / "cpu"}) {
                    if (!directory_exists(mount)) continue;
                    each_level(mount, group, [&](const fs::path& dir) { read_cfs(dir, limit); });
                    break;
                }
            }
        }
        if (limit.quota == 0) return std::nullopt;
        const std::int64_t cpus = limit.quota / limit.period + (limit.quota % limit.period != 0);
        if (cpus > 1'000'000) return std::nullopt;  // as good as none
        return static_cast<unsigned>(cpus < 1 ? 1 : cpus);
    } catch (...) {
        // A path the library cannot handle, or no memory for a few lines: no quota known.
        return std::nullopt;
    }
}

}  // namespace ontarix
