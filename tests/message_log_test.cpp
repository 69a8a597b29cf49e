#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace {

class MessageLog : public testing::Test {
 protected:
  WorkDir dir;
  Launcher launcher{"127.0.0.1:1/"};
};

TEST_F(MessageLog, ReplaceSwapsOnlyTheNewestLine) {
  launcher.addLogLine("one");
  launcher.addLogLine("two");
  launcher.addLogLine("three");
  launcher.replaceLastLogLine("three again");
  EXPECT_EQ(launcher.logLines(), (std::vector<std::string>{"one", "two", "three again"}));
  for (int i = 0; i < 1000; ++i) launcher.replaceLastLogLine("progress " + std::to_string(i));
  EXPECT_EQ(launcher.logLines(), (std::vector<std::string>{"one", "two", "progress 999"}));
}

TEST_F(MessageLog, LineWithoutSurfaceIsKeptButNotDrawn) {
  launcher.addLogLine("");  // the text library renders nothing for an empty text
  launcher.addLogLine("after");
  launcher.render();
  EXPECT_EQ(launcher.logLines(), (std::vector<std::string>{"", "after"}));
}

TEST_F(MessageLog, ConcurrentWritersWhileFramesRender) {
  constexpr int writers = 6;
  constexpr int linesEach = 150;
  launcher.addLogLine("start");
  std::vector<std::thread> threads;
  for (int w = 0; w < writers; ++w) {
    threads.emplace_back([this, w] {
      for (int i = 0; i < linesEach; ++i) launcher.addLogLine("w" + std::to_string(w) + " " + std::to_string(i));
    });
  }
  for (int frame = 0; frame < 20; ++frame) launcher.render();
  for (auto& t : threads) t.join();

  const auto lines = launcher.logLines();
  ASSERT_EQ(lines.size(), 1u + writers * linesEach);
  // Every line of every writer is there once, and each writer's lines keep their order.
  for (int w = 0; w < writers; ++w) {
    const std::string prefix = "w" + std::to_string(w) + " ";
    int next = 0;
    for (const auto& line : lines) {
      if (line.rfind(prefix, 0) != 0) continue;
      EXPECT_EQ(line, prefix + std::to_string(next));
      ++next;
    }
    EXPECT_EQ(next, linesEach);
  }
}

}  // namespace
