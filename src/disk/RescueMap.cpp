#include "disk/RescueMap.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace salvex {

bool IsRescueStatus(char c) {
  return c == RescueNonTried || c == RescueNonTrimmed || c == RescueNonScraped || c == RescueBadSector ||
         c == RescueFinished;
}

TRescueMap::TRescueMap(uint64_t size) { Resize(size); }

void TRescueMap::Split(uint64_t pos) {
  if (pos == 0 || pos >= size_) return;
  auto it = blocks_.upper_bound(pos);
  --it;  // the block holding pos
  TRescueBlock& b = it->second;
  if (b.Pos == pos) return;
  TRescueBlock tail{pos, b.End() - pos, b.Status};
  b.Size = pos - b.Pos;
  blocks_.emplace(pos, tail);
}

void TRescueMap::MergeAround(uint64_t pos) {
  auto it = blocks_.find(pos);
  if (it == blocks_.end()) return;
  if (it != blocks_.begin()) {
    auto prev = std::prev(it);
    if (prev->second.Status == it->second.Status) {
      prev->second.Size += it->second.Size;
      blocks_.erase(it);
      it = prev;
    }
  }
  auto next = std::next(it);
  if (next != blocks_.end() && next->second.Status == it->second.Status) {
    it->second.Size += next->second.Size;
    blocks_.erase(next);
  }
}

void TRescueMap::Resize(uint64_t size) {
  if (size > size_) {
    blocks_.emplace(size_, TRescueBlock{size_, size - size_, RescueNonTried});
    MergeAround(size_);
  } else if (size < size_) {
    Split(size);
    blocks_.erase(blocks_.lower_bound(size), blocks_.end());
  }
  size_ = size;
  if (CurrentPos > size_) CurrentPos = size_;
}

void TRescueMap::Set(uint64_t pos, uint64_t size, char status) {
  if (pos >= size_ || size == 0) return;
  if (size > size_ - pos) size = size_ - pos;
  Split(pos);
  Split(pos + size);
  blocks_.erase(blocks_.lower_bound(pos), blocks_.lower_bound(pos + size));
  blocks_.emplace(pos, TRescueBlock{pos, size, status});
  MergeAround(pos);
}

TRescueBlock TRescueMap::BlockAt(uint64_t pos) const {
  if (pos >= size_) return {pos, 0, RescueNonTried};
  auto it = blocks_.upper_bound(pos);
  return std::prev(it)->second;
}

char TRescueMap::StatusAt(uint64_t pos) const { return BlockAt(pos).Status; }

std::vector<TRescueBlock> TRescueMap::Blocks() const {
  std::vector<TRescueBlock> out;
  for (const auto& [pos, b] : blocks_) out.push_back(b);
  return out;
}

std::vector<TRescueBlock> TRescueMap::Blocks(char status) const {
  std::vector<TRescueBlock> out;
  for (const auto& [pos, b] : blocks_)
    if (b.Status == status) out.push_back(b);
  return out;
}

uint64_t TRescueMap::Total(char status) const {
  uint64_t n = 0;
  for (const auto& [pos, b] : blocks_)
    if (b.Status == status) n += b.Size;
  return n;
}

std::vector<TRescueBlock> TRescueMap::Unrescued(uint64_t pos, uint64_t size) const {
  std::vector<TRescueBlock> out;
  if (pos >= size_ || size == 0) return out;
  const uint64_t end = size > size_ - pos ? size_ : pos + size;
  auto it = std::prev(blocks_.upper_bound(pos));
  for (; it != blocks_.end() && it->second.Pos < end; ++it) {
    const TRescueBlock& b = it->second;
    if (b.Status == RescueFinished) continue;
    const uint64_t first = std::max(b.Pos, pos), last = std::min(b.End(), end);
    out.push_back({first, last - first, b.Status});
  }
  return out;
}

namespace {

// A number as ddrescue writes and reads it: decimal, or hexadecimal after 0x.
bool ParseNumber(const std::string& word, uint64_t& value) {
  if (word.empty() || word[0] == '-' || word[0] == '+') return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtoull(word.c_str(), &end, 0);
  return errno == 0 && end && *end == '\0';
}

}  // namespace

bool TRescueMap::Parse(std::string_view text, TRescueMap& map, std::string& why) {
  map = TRescueMap();
  std::istringstream in{std::string(text)};
  bool haveStatusLine = false;
  uint64_t expected = 0;
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    const std::string where = "line " + std::to_string(number) + ": ";
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream fields(line);
    std::vector<std::string> words;
    for (std::string w; fields >> w;) words.push_back(w);
    if (words.empty()) continue;
    if (!haveStatusLine) {
      uint64_t pos = 0, pass = 1;
      if (words.size() < 2 || words.size() > 3 || !ParseNumber(words[0], pos) || words[1].size() != 1 ||
          (words.size() == 3 && (!ParseNumber(words[2], pass) || pass == 0 || pass > 1000))) {
        why = where + "expected 'current_pos current_status [current_pass]'";
        return false;
      }
      const char c = words[1][0];
      if (!IsRescueStatus(c) && c != 'F' && c != 'G') {
        why = where + "unknown current status '" + words[1] + "'";
        return false;
      }
      map.CurrentPos = pos;
      map.CurrentStatus = c;
      map.CurrentPass = int(pass);
      haveStatusLine = true;
      continue;
    }
    uint64_t pos = 0, size = 0;
    if (words.size() != 3 || !ParseNumber(words[0], pos) || !ParseNumber(words[1], size) || words[2].size() != 1 ||
        !IsRescueStatus(words[2][0])) {
      why = where + "expected 'pos size status' with status one of ? * / - +";
      return false;
    }
    if (pos != expected) {
      why = where + "block at " + std::to_string(pos) + " does not follow the previous one (ends at " +
            std::to_string(expected) + ")";
      return false;
    }
    if (size == 0 || size > UINT64_MAX - pos) {
      why = where + "block size " + std::to_string(size) + " is not usable";
      return false;
    }
    map.Resize(pos + size);
    map.Set(pos, size, words[2][0]);
    expected = pos + size;
  }
  if (!haveStatusLine) {
    why = "no 'current_pos current_status' line: not a mapfile";
    return false;
  }
  if (map.CurrentPos > map.Size()) map.CurrentPos = map.Size();
  return true;
}

std::string TRescueMap::Format(const std::vector<std::string>& comment) const {
  std::string out;
  for (const auto& c : comment) out += "# " + c + "\n";
  char line[96];
  out += "# current_pos  current_status  current_pass\n";
  std::snprintf(line, sizeof line, "0x%08" PRIX64 "     %c               %d\n", CurrentPos, CurrentStatus, CurrentPass);
  out += line;
  out += "#      pos        size  status\n";
  for (const auto& [pos, b] : blocks_) {
    std::snprintf(line, sizeof line, "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", b.Pos, b.Size, b.Status);
    out += line;
  }
  return out;
}

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& why) {
  const std::string temp = path + ".tmp";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    why = "cannot write '" + temp + "': " + std::strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      why = "cannot write '" + temp + "': " + std::strerror(n < 0 ? errno : ENOSPC);
      ::close(fd);
      ::unlink(temp.c_str());
      return false;
    }
    done += size_t(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    why = "cannot write '" + temp + "': " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    why = "cannot replace '" + path + "': " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  // The rename itself reaches the disk with its folder.
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  if (const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

bool LoadRescueMap(const std::string& path, TRescueMap& map, std::string& why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why = "cannot read the map '" + path + "': " + std::strerror(errno);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (!TRescueMap::Parse(text.str(), map, why)) {
    why = "'" + path + "' is not a rescue map: " + why;
    return false;
  }
  return true;
}

}  // namespace salvex
