// Log lines written from many threads at once never mix.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

#include "base/ServerLog.h"
#include "support/TestSupport.h"

using namespace testing_support;

TEST(SrvLogConcurrency, LinesFromManyThreadsStayWhole) {
    ServerDirScope dir;
    constexpr int kThreads = 8, kLines = 300;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([t] {
            for (int i = 0; i < kLines; ++i)
                SrvLog("thread %d line %04d %s\n", t, i,
                       std::string(100, static_cast<char>('a' + t)).c_str());
        });
    }
    for (auto& w : writers)
        w.join();
    std::istringstream in(dir.Log());
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        int t = -1, i = -1;
        char rest[200] = {};
        ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d %199s", &t, &i, rest), 3) << line;
        EXPECT_EQ(std::string(rest), std::string(100, static_cast<char>('a' + t))) << line;
        ++count;
    }
    EXPECT_EQ(count, kThreads * kLines);
}
