// Files finished by several workers at once come back in the order they were handed over, each
// one only once it is finished, and every one handed over is finished by the time the finisher goes.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "recovery/FileFinisher.h"
#include "support/Cli.h"

namespace salvex::test {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST_F(TempFolderTest, FinishedFilesComeBackInOrderWhateverWorkerFinishedThem) {
  // Large and tiny files alternate, so that with several workers later files finish first.
  constexpr size_t kLarge = 3 << 20, kFiles = 60;
  std::string source(kLarge, '\0');
  for (size_t i = 0; i < source.size(); ++i) source[i] = char(i * 7 + i / 4096);
  std::ofstream(dir / "source.bin", std::ios::binary) << source;
  const int from = ::open((dir / "source.bin").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(from, 0);
  const auto sizeOf = [&](size_t i) -> uint64_t { return i % 3 == 0 ? kLarge : 1 + i; };

  for (const size_t workers : {size_t(1), size_t(3)}) {
    SCOPED_TRACE(workers);
    const fs::path out = dir / ("out" + std::to_string(workers));
    fs::create_directory(out);
    const int dirFd = ::open(out.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(dirFd, 0);
    auto folder = std::make_shared<TFolderFd>(dirFd, std::nullopt, true);
    std::vector<std::string> order;
    {
      TFinisher finisher(workers);
      const auto collect = [&] {
        while (std::unique_ptr<TFinishJob> j = finisher.Next()) {
          EXPECT_EQ(j->Outcome.Stage, TFileOutcome::TStage::Named) << j->Name;
          order.push_back(j->Name);
        }
      };
      for (size_t i = 0; i < kFiles; ++i) {
        auto j = std::make_unique<TFinishJob>();
        j->Name = "file" + std::to_string(i);
        j->Temporary = j->Name + ".tmp";
        j->Dir = folder;
        j->DirFd = dirFd;
        j->Fd = OpenTargetFile(*folder, j->Temporary, j->Anonymous);
        ASSERT_GE(j->Fd, 0);
        j->Size = sizeOf(i);
        j->Plain.push_back({from, i, j->Size - std::min<uint64_t>(j->Size, i)});
        j->Plain.push_back({from, 0, std::min<uint64_t>(j->Size, i)});
        finisher.Submit(std::move(j));
        if (i % 25 == 24) {
          finisher.WaitUntil(finisher.Submitted() - 10);
          collect();
          EXPECT_GE(order.size(), i + 1 - 10);
        }
      }
      finisher.WaitUntil(finisher.Submitted());
      collect();
    }
    ASSERT_EQ(order.size(), kFiles);
    for (size_t i = 0; i < kFiles; ++i) {
      EXPECT_EQ(order[i], "file" + std::to_string(i));
      const uint64_t size = sizeOf(i), head = size - std::min<uint64_t>(size, i);
      const std::string want = source.substr(i, head) + source.substr(0, size - head);
      EXPECT_TRUE(Slurp(out / order[i]) == want) << order[i];
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), ptrdiff_t(kFiles));
  }

  // Handed over and never collected: still finished before the finisher goes.
  const fs::path out = dir / "dropped";
  fs::create_directory(out);
  const int dirFd = ::open(out.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(dirFd, 0);
  auto folder = std::make_shared<TFolderFd>(dirFd, std::nullopt, true);
  {
    TFinisher finisher(2);
    for (size_t i = 0; i < 40; ++i) {
      auto j = std::make_unique<TFinishJob>();
      j->Name = "late" + std::to_string(i);
      j->Temporary = j->Name + ".tmp";
      j->Dir = folder;
      j->DirFd = dirFd;
      j->Fd = OpenTargetFile(*folder, j->Temporary, j->Anonymous);
      ASSERT_GE(j->Fd, 0);
      j->Size = 100;
      j->Plain.push_back({from, 0, 100});
      finisher.Submit(std::move(j));
    }
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 40);
  EXPECT_EQ(Slurp(out / "late39"), source.substr(0, 100));
  ::close(from);
}

}  // namespace
}  // namespace salvex::test
