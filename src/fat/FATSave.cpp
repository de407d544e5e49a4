#include "fat/FATSave.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "common/CodePage.h"
#include "common/Debug.h"
#include "common/Format.h"
#include "common/Helpers.h"
#include "common/Options.h"
#include "common/StringTable.h"
#include "devices/Device.h"
#include "devices/StatusDialog.h"
#include "devices/TargetCheck.h"
#include "disk/PhysicalDisk.h"
#include "fat/FATDirectory.h"
#include "fat/FATFile.h"
#include "fat/FATdrive.h"

namespace salvex {

namespace {

constexpr size_t kCopyBuffer = 1 << 20;

// The DOS date and time as the local time they were written in.
bool DosToTime(uint16_t date, uint16_t time, timespec& out) {
  std::tm tm{};
  tm.tm_year = 80 + (date >> 9);
  tm.tm_mon = ((date >> 5) & 0x0F) - 1;
  tm.tm_mday = date & 0x1F;
  tm.tm_hour = time >> 11;
  tm.tm_min = (time >> 5) & 0x3F;
  tm.tm_sec = (time & 0x1F) * 2;
  tm.tm_isdst = -1;
  if (tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday == 0) return false;
  time_t t = std::mktime(&tm);
  if (t == time_t(-1)) return false;
  out.tv_sec = t;
  out.tv_nsec = 0;
  return true;
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= size_t(n);
  }
  return true;
}

}  // namespace

std::string SafeFATFileName(const std::string& ansiName) {
  std::string name = AnsiToUtf8(DisplayName(ansiName));
  for (char& c : name)
    if (c == '/' || c == '\0') c = '_';
  if (name.empty() || name == "." || name == "..") name = "_" + name;
  return name;
}

bool IsNetworkFileSystem(const std::string& path) {
  struct statfs fs {};
  if (::statfs(path.c_str(), &fs) != 0) return false;
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x6969:      // NFS
    case 0xFF534D42:  // CIFS
    case 0x517B:      // SMB
    case 0xFE534D42:  // SMB2
    case 0x65735546:  // FUSE (sshfs and the like)
      return true;
    default: return false;
  }
}

TFATSaver::TFATSaver(TFATdrive& drive, uint8_t fatChoice, TStatusDialog* status)
    : drive_(drive), fatChoice_(fatChoice), status_(status) {}

bool TFATSaver::Cancelled() const { return status_ && status_->Cancelled; }

void TFATSaver::SaveTo(TFATFile& file, const std::string& targetFolder) {
  const std::string target = targetFolder + SafeFATFileName(file.Name);
  TFATFilePos pos;
  drive_.OpenFilePos(file.FirstCluster, file.Size, pos);
  if (status_) status_->UpdateTexts(LoadText(709), TextF(710, {ShortenPath(target, 30)}));
  Host().ProcessMessages();
  if (!buffer_) buffer_.emplace(kCopyBuffer);

  // O_NOFOLLOW: a symbolic link planted under the target's name is never written through.
  int fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    Host().MessageBox(TextF(711, {target}), "", TMsgButtons::Ok, TMsgIcon::Warning);
    ++Stats.Failures;
    return;
  }
  const uint64_t ignoredBefore = IgnoredReadCount();
  bool failed = false;
  uint64_t written = 0;
  while (pos.Position < pos.Size) {
    uint64_t got = 0;
    bool ok = drive_.ReadFileData(pos, buffer_->size(), got, fatChoice_, buffer_->data());
    if (status_) status_->StepBy(int64_t(got));
    if (!ok || got == 0) {
      Host().MessageBox(TextF(712, {drive_.Device ? drive_.Device->Name : std::string(), file.FirstCluster, file.Size}),
                        "", TMsgButtons::Ok, TMsgIcon::Warning);
      failed = true;
      break;
    }
    if (!WriteAll(fd, buffer_->data(), size_t(got))) {
      Host().MessageBox(TextF(711, {target}), "", TMsgButtons::Ok, TMsgIcon::Warning);
      failed = true;
      break;
    }
    written += got;
    Host().ProcessMessages();
    if (Cancelled()) {
      failed = true;
      break;
    }
  }
  timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  if (file.Time != 0 && file.Date != 0 && DosToTime(file.Date, file.Time, times[1])) ::futimens(fd, times);
  if (file.Attributes & dirent::kAttrReadOnly) {
    struct stat st {};
    if (::fstat(fd, &st) == 0) ::fchmod(fd, st.st_mode & ~mode_t(0222) & 07777);
  }
  if (::close(fd) != 0 && !failed) {
    Host().MessageBox(TextF(711, {target}), "", TMsgButtons::Ok, TMsgIcon::Warning);
    failed = true;
  }
  Stats.Bytes += written;
  const bool unreadable = pos.UnreadableSectors > 0 || IgnoredReadCount() != ignoredBefore;
  if (unreadable)
    DebugLog(Format("%s: %d sector(s) could not be read and were saved as zeros", {target, pos.UnreadableSectors}), 0);
  if (failed || unreadable)
    ++Stats.Failures;
  else
    ++Stats.Files;
}

bool TFATSaver::EnoughSpace(const std::string& folder, uint64_t size) {
  // Asked once per folder; within it the free space is counted down by what was written, and
  // asked again before a file is refused.
  auto query = [&] {
    struct statvfs vfs {};
    spaceKnown_ = ::statvfs(folder.c_str(), &vfs) == 0;
    free_ = spaceKnown_ ? uint64_t(vfs.f_bavail) * vfs.f_frsize : 0;
  };
  if (folder != spaceFolder_) {
    spaceFolder_ = folder;
    network_ = IsNetworkFileSystem(folder);
    if (!network_) query();
  }
  if (network_ || !spaceKnown_) return true;
  if (free_ < size) query();
  if (spaceKnown_ && free_ < size) return false;
  free_ = free_ >= size ? free_ - size : 0;
  return true;
}

bool TFATSaver::SaveFile(TFATFile& file, const std::string& targetFolder) {
  const std::string target = targetFolder + SafeFATFileName(file.Name);
  struct stat st {};
  if (!OverwriteAll && ::lstat(target.c_str(), &st) == 0) {
    TMsgResult answer = Host().MessageBox(TextF(718, {target}) + "\n\n" + LoadText(719), "", TMsgButtons::YesNoAll,
                                          TMsgIcon::Question);
    if (status_) status_->RestartClock();
    if (answer == TMsgResult::All)
      OverwriteAll = true;
    else if (answer != TMsgResult::Yes)
      return true;
  }
  if (!EnoughSpace(targetFolder, file.Size)) {
    Host().MessageBox(TextF(717, {AnsiToUtf8(DisplayName(file.Name)), targetFolder}), "", TMsgButtons::Ok,
                      TMsgIcon::Error);
    ++Stats.Failures;
    return false;
  }
  SaveTo(file, targetFolder);
  return true;
}

bool TFATSaver::SaveDirectory(TFATDirectory& dir, const std::string& targetFolder, bool recursive, bool deletedView) {
  if (Cancelled()) return false;
  const std::string path = targetFolder + SafeFATFileName(dir.Name);
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (::mkdir(path.c_str(), 0777) != 0) {
      Host().MessageBox(TextF(720, {path}), "", TMsgButtons::Ok, TMsgIcon::Warning);
      ++Stats.Failures;
    } else {
      ++Stats.Folders;
    }
  } else if (!S_ISDIR(st.st_mode)) {
    // A file or a symbolic link of that name: writing through it could leave the target.
    Host().MessageBox(TextF(720, {path}), "", TMsgButtons::Ok, TMsgIcon::Warning);
    ++Stats.Failures;
    return true;
  } else {
    ++Stats.Folders;
    if (!FoldersAnswered) {
      TMsgResult answer = Host().MessageBox(TextF(715, {AnsiToUtf8(DisplayName(dir.Name))}) + "\n\n" + LoadText(716),
                                            "", TMsgButtons::YesNoAll, TMsgIcon::Question);
      if (status_) status_->RestartClock();
      if (answer == TMsgResult::All) {
        FoldersAnswered = true;
        OverwriteAll = true;
      } else if (answer == TMsgResult::Yes) {
        OverwriteAll = true;
      } else {
        OverwriteAll = false;
        return false;
      }
    }
  }
  const bool readHere = !dir.Children;
  if (readHere) dir.ReadChildren(deletedView, deletedView);
  bool result = true;
  for (auto& child : *dir.Children) {
    if (auto* f = dynamic_cast<TFATFile*>(child.get()))
      result = SaveFile(*f, path + "/");
    else if (auto* d = dynamic_cast<TFATDirectory*>(child.get()); d && recursive)
      result = SaveDirectory(*d, path + "/", recursive, deletedView);
    if (!result || Cancelled()) break;
  }
  if (readHere) dir.Children.reset();
  return result && !Cancelled();
}

void TFATdrive::SaveSelectedTo(TListView& list) {
  LastSave = TSaveStats{};
  const std::vector<TItem*> selected = SelectedObjects(list);
  const bool deletedView = Host().SelectedNodeIsDeleted();
  std::vector<std::string> items{LoadText(702)};
  for (uint32_t k = 1; k <= NumberOfFATs; ++k) items.push_back("FAT " + std::to_string(k));
  int choice = deletedView ? 0 : FATCopy;
  std::string folder;
  if (!Host().AskSaveTarget(folder, items, choice) || folder.empty()) return;
  if (!ConfirmSaveTarget(Device, folder)) return;
  if (folder.back() != '/') folder += '/';
  if (choice < 0 || uint32_t(choice) > NumberOfFATs) choice = deletedView ? 0 : FATCopy;

  TStatusDialog* status = Progress;
  Host().EnableMainWindow(false);
  if (status) {
    status->Setup(LoadText(709), LoadText(714), "", "", "", true, true);
    status->Show();
  }
  uint64_t total = 0;
  for (TItem* item : selected) {
    if (status && status->Cancelled) break;
    if (auto* f = dynamic_cast<TFATFile*>(item)) {
      total += f->Size;
    } else if (auto* d = dynamic_cast<TFATDirectory*>(item)) {
      d->Search(
          [&](TItem& child) {
            if (auto* cf = dynamic_cast<TFATFile*>(&child)) total += cf->Size;
            if (dynamic_cast<TFATDirectory*>(&child)) Host().ProcessMessages();
            return !(status && status->Cancelled);
          },
          deletedView, true, deletedView);
    }
  }
  TFATSaver saver(*this, static_cast<uint8_t>(choice), status);
  if (status) {
    status->Max = total;
    status->IntervalMs = 0;
  }
  if (!(status && status->Cancelled)) {
    for (TItem* item : selected) {
      bool go = true;
      if (auto* f = dynamic_cast<TFATFile*>(item))
        go = saver.SaveFile(*f, folder);
      else if (auto* d = dynamic_cast<TFATDirectory*>(item))
        go = saver.SaveDirectory(*d, folder, true, deletedView);
      if (!go || (status && status->Cancelled)) break;
    }
  }
  Host().EnableMainWindow(true);
  LastSave = saver.Stats;
  LastSave.Cancelled = status && status->Cancelled;
  if (status) status->Hide();
}

}  // namespace salvex
