// Retention: which snapshots a forget policy keeps, and why.
#ifndef VORN_ENGINE_RETENTION_H
#define VORN_ENGINE_RETENTION_H

#include <cstdint>
#include <string>
#include <vector>

namespace vornengine {

// How many snapshots to keep per rule; 0 (or less) turns a rule off.
struct RetentionPolicy {
    int last = 0, hourly = 0, daily = 0, weekly = 0, monthly = 0, yearly = 0;
    bool empty() const;
};

// times: snapshot times (unix seconds), any order. Returns, per input index, the reasons it is
// kept ("last", "hourly", "daily", "weekly", "monthly", "yearly"; empty = removed). Buckets are
// calendar periods in the local time zone (ISO weeks for weekly). Newest first, a snapshot is
// kept for a rule when its period differs from that of the previous one kept for the rule and
// the rule has count left; equal times count the later index as newer. An empty policy keeps
// everything (reason "all"); callers refuse it anyway.
std::vector<std::vector<std::string>> selectKept(const std::vector<int64_t> &times,
                                                 const RetentionPolicy &policy);

} // namespace vornengine

#endif
