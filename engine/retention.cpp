#include "retention.h"

#include <algorithm>
#include <ctime>
#include <numeric>

namespace vornengine {

namespace {

struct Rule {
    const char *reason;
    int count;
    // The calendar period of a local time; "last" gives each snapshot its own.
    int64_t (*period)(const std::tm &local, size_t order);
    bool keptAny = false;
    int64_t lastKept = 0; // the period of the newest snapshot kept for this rule
};

int64_t eachOne(const std::tm &, size_t order) { return static_cast<int64_t>(order); }
int64_t hourOf(const std::tm &t, size_t) { return ((t.tm_year * 400LL + t.tm_yday) * 24) + t.tm_hour; }
int64_t dayOf(const std::tm &t, size_t) { return t.tm_year * 400LL + t.tm_yday; }
int64_t monthOf(const std::tm &t, size_t) { return t.tm_year * 12LL + t.tm_mon; }
int64_t yearOf(const std::tm &t, size_t) { return t.tm_year; }

// ISO 8601 week: weeks start on Monday, and week 1 holds the year's first Thursday, so the last
// days of December can be in next year's week 1 and the first days of January in last year's.
int64_t isoWeekOf(const std::tm &t, size_t) {
    char text[16];
    std::strftime(text, sizeof text, "%G%V", &t);
    return std::stoll(text);
}

} // namespace

bool RetentionPolicy::empty() const {
    return last <= 0 && hourly <= 0 && daily <= 0 && weekly <= 0 && monthly <= 0 && yearly <= 0;
}

std::vector<std::vector<std::string>> selectKept(const std::vector<int64_t> &times,
                                                 const RetentionPolicy &policy) {
    std::vector<std::vector<std::string>> reasons(times.size());
    if (policy.empty()) {
        for (auto &r : reasons) {
            r.push_back("all");
        }
        return reasons;
    }
    std::vector<size_t> newestFirst(times.size());
    std::iota(newestFirst.begin(), newestFirst.end(), 0);
    std::sort(newestFirst.begin(), newestFirst.end(), [&](size_t a, size_t b) {
        return times[a] != times[b] ? times[a] > times[b] : a > b;
    });

    Rule rules[] = {{"last", policy.last, eachOne},       {"hourly", policy.hourly, hourOf},
                    {"daily", policy.daily, dayOf},       {"weekly", policy.weekly, isoWeekOf},
                    {"monthly", policy.monthly, monthOf}, {"yearly", policy.yearly, yearOf}};
    for (size_t order = 0; order < newestFirst.size(); ++order) {
        const size_t index = newestFirst[order];
        const std::time_t when = static_cast<std::time_t>(times[index]);
        std::tm local{};
        localtime_r(&when, &local);
        for (Rule &rule : rules) {
            if (rule.count <= 0) {
                continue;
            }
            const int64_t period = rule.period(local, order);
            if (!rule.keptAny || period != rule.lastKept) {
                rule.keptAny = true;
                rule.lastKept = period;
                --rule.count;
                reasons[index].push_back(rule.reason);
            }
        }
    }
    return reasons;
}

} // namespace vornengine
