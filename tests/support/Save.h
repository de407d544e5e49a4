#pragma once
#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <vector>

#include "devices/Model.h"
#include "recovery/SaveEngine.h"

namespace salvex::test {

// Saves items into `target` with the one save engine, replacing whatever is there.
inline TSaveReport SaveInto(const std::vector<TItem*>& items, const std::filesystem::path& target,
                            TReadChoice read = {}) {
  struct Replace : TSaveQuestions {
    TAnswer ReplaceFile(const std::string&) override { return TAnswer::All; }
    TAnswer EnterFolder(const std::string&) override { return TAnswer::All; }
  } questions;
  TSaveOptions options;
  options.Target = target.string();
  options.Read = read;
  return SaveItems(items, options, questions, nullptr);
}

// The name the save engine gives an item shown as `shown` in `target`, whose file system decides
// whether ':' stays.
inline std::string SavedName(const std::string& shown, const std::filesystem::path& target) {
  const int fd = ::open(target.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const TColonRule rule = ColonRuleOf(fd);
  if (fd >= 0) ::close(fd);
  return SafeSaveName(shown, rule);
}

// The children of a folder, for saving a whole folder's contents.
inline std::vector<TItem*> ChildrenOf(TCustomDirectory& folder) {
  std::vector<TItem*> items;
  if (folder.Children)
    for (auto& c : *folder.Children) items.push_back(c.get());
  return items;
}

}  // namespace salvex::test
