#pragma once
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

// The children of a folder, for saving a whole folder's contents.
inline std::vector<TItem*> ChildrenOf(TCustomDirectory& folder) {
  std::vector<TItem*> items;
  if (folder.Children)
    for (auto& c : *folder.Children) items.push_back(c.get());
  return items;
}

}  // namespace salvex::test
