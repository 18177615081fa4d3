#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <map>

#include "retention.h"

using namespace vornengine;

namespace {

int64_t utcSeconds(const std::string &text) {
    std::tm t{};
    strptime(text.c_str(), "%Y-%m-%d %H:%M", &t);
    return timegm(&t);
}

} // namespace

// A made-up calendar across two year ends, in no particular order. ISO weeks: 2023-12-30 and
// 2023-12-31 are a Saturday and a Sunday in 2023-W52; 2024-12-30 to 2025-01-02 are all 2025-W01.
TEST(Retention, KeepsExactlyWhatThePolicyNames) {
    setenv("TZ", "UTC", 1);
    tzset();
    const std::vector<std::string> calendar = {
        "2025-01-01 00:45", "2023-12-31 10:00", "2025-01-02 13:20", "2024-06-15 12:00",
        "2024-12-30 08:00", "2025-01-01 13:00", "2023-12-30 18:00", "2024-12-31 23:30",
        "2025-01-02 13:00", "2024-01-01 09:00", "2025-01-01 00:15",
    };
    std::vector<int64_t> times;
    for (const std::string &t : calendar) {
        times.push_back(utcSeconds(t));
    }
    struct Case {
        RetentionPolicy policy; // last, hourly, daily, weekly, monthly, yearly
        std::map<std::string, std::string> kept; // time -> reasons
    };
    const Case cases[] = {
        {RetentionPolicy{3, 0, 0, 0, 0, 0},
         {{"2025-01-02 13:20", "last"}, {"2025-01-02 13:00", "last"}, {"2025-01-01 13:00", "last"}}},
        {RetentionPolicy{0, 3, 0, 0, 0, 0},
         {{"2025-01-02 13:20", "hourly"}, {"2025-01-01 13:00", "hourly"}, {"2025-01-01 00:45", "hourly"}}},
        {RetentionPolicy{0, 0, 3, 0, 0, 0},
         {{"2025-01-02 13:20", "daily"}, {"2025-01-01 13:00", "daily"}, {"2024-12-31 23:30", "daily"}}},
        {RetentionPolicy{0, 0, 0, 9, 0, 0},
         {{"2025-01-02 13:20", "weekly"},
          {"2024-06-15 12:00", "weekly"},
          {"2024-01-01 09:00", "weekly"},
          {"2023-12-31 10:00", "weekly"}}},
        {RetentionPolicy{0, 0, 0, 0, 3, 0},
         {{"2025-01-02 13:20", "monthly"}, {"2024-12-31 23:30", "monthly"}, {"2024-06-15 12:00", "monthly"}}},
        {RetentionPolicy{0, 0, 0, 0, 0, 2}, {{"2025-01-02 13:20", "yearly"}, {"2024-12-31 23:30", "yearly"}}},
        {RetentionPolicy{2, 0, 2, 0, 2, 5},
         {{"2025-01-02 13:20", "last daily monthly yearly"},
          {"2025-01-02 13:00", "last"},
          {"2025-01-01 13:00", "daily"},
          {"2024-12-31 23:30", "monthly yearly"},
          {"2023-12-31 10:00", "yearly"}}},
    };
    for (const Case &c : cases) {
        const std::vector<std::vector<std::string>> reasons = selectKept(times, c.policy);
        ASSERT_EQ(reasons.size(), times.size());
        std::map<std::string, std::string> kept;
        for (size_t i = 0; i < reasons.size(); ++i) {
            for (const std::string &r : reasons[i]) {
                std::string &joined = kept[calendar[i]];
                joined += (joined.empty() ? "" : " ") + r;
            }
        }
        EXPECT_EQ(kept, c.kept);
    }
    EXPECT_TRUE(RetentionPolicy().empty());
    for (const std::vector<std::string> &r : selectKept(times, RetentionPolicy())) {
        EXPECT_EQ(r, std::vector<std::string>{"all"});
    }
}
