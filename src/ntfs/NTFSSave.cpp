#include "ntfs/NTFSSave.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "common/AlignedBuffer.h"
#include "common/CodePage.h"
#include "common/Format.h"
#include "common/Helpers.h"
#include "common/Host.h"
#include "common/StringTable.h"
#include "devices/Device.h"
#include "devices/StatusDialog.h"
#include "devices/TargetCheck.h"
#include "disk/PhysicalDisk.h"
#include "ntfs/NTFSDirectory.h"
#include "ntfs/NTFSFile.h"
#include "ntfs/NTFSdrive.h"

namespace salvex {

namespace {
constexpr uint64_t kPiece = 1u << 20;  // bytes copied per read and write
constexpr uint64_t kFileTimeUnixEpoch = 116444736000000000ull;
constexpr uint32_t kReadOnlyAttribute = 0x01;

// Network file systems report free space unreliably; the free-space test skips them.
bool IsNetworkFileSystem(int fd) {
  struct statfs fs {};
  if (fstatfs(fd, &fs) != 0) return false;
  switch (static_cast<uint32_t>(fs.f_type)) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x65735546:  // FUSE (sshfs and friends)
      return true;
    default: return false;
  }
}

uint64_t FreeBytes(int fd) {
  struct statvfs vfs {};
  if (fstatvfs(fd, &vfs) != 0) return 0;
  return uint64_t(vfs.f_bavail) * vfs.f_frsize;
}

bool Exists(int dirFd, const std::string& name, struct stat* st = nullptr) {
  struct stat local {};
  return fstatat(dirFd, name.c_str(), st ? st : &local, AT_SYMLINK_NOFOLLOW) == 0;
}

bool WriteAll(int fd, const uint8_t* data, uint64_t count) {
  while (count > 0) {
    ssize_t n = write(fd, data, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    count -= uint64_t(n);
  }
  return true;
}

std::string SourceText(const char* what, TNTFSFile& file) {
  std::string device = file.Drive && file.Drive->Device ? file.Drive->Device->Name : "";
  return Format(std::string("Could not ") + what + " source file! (device: %s, MFT file ref: %d, size: %d)",
                {device, file.MFTNumber, file.Size});
}

void Warn(const std::string& text, TStatusDialog* status) {
  Host().MessageBox(text, "", TMsgButtons::Ok, TMsgIcon::Warning);
  if (status) status->RestartClock();
}
}  // namespace

std::string SafeFileName(const std::string& ansiName) {
  std::string name = AnsiToUtf8(ansiName);
  for (char& c : name)
    if (c == '/' || c == '\0') c = '_';
  if (name.empty() || name == "." || name == "..") name = "_" + name;
  return name;
}

bool TNTFSFile::SaveTo(const TNTFSSaveTarget& target, TStatusDialog* status, uint64_t& written) {
  written = 0;
  auto& drive = *static_cast<TNTFSdrive*>(Drive);
  TNTFSDataPos pos;
  uint64_t size = Size;
  if (MFTNumber > 0) {
    if (!drive.OpenDataPos(pos, Size, uint64_t(MFTNumber))) {
      Warn(SourceText("open", *this), status);
      return false;
    }
    size = pos.Size;
  } else if (MFTNumber == 0) {
    Warn(SourceText("open", *this), status);
    return false;
  }
  std::string name = SafeFileName(Name);
  if (status) {
    status->UpdateTexts(LoadText(709), TextF(710, {ShortenPath(target.Path + name, 30)}));
    Host().ProcessMessages();
  }
  int fd = openat(target.Fd, name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return false;

  uint64_t unreadableBefore = drive.UnreadableSectors + IgnoredReadCount();
  AlignedBuffer buffer(std::min<uint64_t>(kPiece, std::max<uint64_t>(size, 1)));
  bool ok = true, readWarned = false;
  uint64_t position = 0;
  while (position < size) {
    uint64_t want = std::min<uint64_t>(buffer.size(), size - position);
    uint64_t n = want;
    bool read;
    if (MFTNumber > 0) {
      read = drive.ReadDataPos(pos, want, n, buffer.data());
    } else {
      read = drive.ReadContiguous(buffer.data(), want, position, uint64_t(StartCluster));
    }
    if (!read && !readWarned) {
      // Unreadable parts are saved as zeros; the user hears about it once per file.
      Warn(SourceText("read", *this), status);
      readWarned = true;
      ok = false;
    }
    if (n == 0) break;
    if (status) {
      status->StepSize = 1;
      status->StepBy(int64_t(n));
    }
    if (!WriteAll(fd, buffer.data(), n)) {
      Warn(TextF(711, {target.Path + name}), status);
      ok = false;
      break;
    }
    written += n;
    position += n;
    if (status && status->Cancelled) {
      ok = false;
      break;
    }
  }
  if (drive.UnreadableSectors + IgnoredReadCount() != unreadableBefore) ok = false;
  if (ModificationTime >= kFileTimeUnixEpoch) {
    uint64_t t = ModificationTime - kFileTimeUnixEpoch;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(t / 10000000ull);
    times[1].tv_nsec = static_cast<long>((t % 10000000ull) * 100);
    futimens(fd, times);
  }
  if (Attributes & kReadOnlyAttribute) {
    struct stat st {};
    if (fstat(fd, &st) == 0) fchmod(fd, st.st_mode & ~mode_t(S_IWUSR | S_IWGRP | S_IWOTH));
  }
  close(fd);
  return ok && written == size;
}

bool SaveFileTo(TNTFSSaveSession& session, TNTFSFile& file, const TNTFSSaveTarget& target) {
  std::string name = SafeFileName(file.Name);
  if (!session.Overwrite && Exists(target.Fd, name)) {
    TMsgResult answer = Host().MessageBox(TextF(718, {target.Path + name}) + "\r\r" + LoadText(719), "",
                                          TMsgButtons::YesNoAll, TMsgIcon::Question);
    if (session.Status) session.Status->RestartClock();
    if (answer == TMsgResult::No) return true;
    if (answer == TMsgResult::All) session.Overwrite = true;
  }
  if (!IsNetworkFileSystem(target.Fd) && FreeBytes(target.Fd) < file.Size) {
    Host().MessageBox(TextF(717, {AnsiToUtf8(file.Name), target.Path}), "", TMsgButtons::Ok, TMsgIcon::Error);
    if (session.Status) session.Status->RestartClock();
    ++session.Stats.Failures;
    return false;
  }
  uint64_t written = 0;
  bool complete = file.SaveTo(target, session.Status, written);
  session.Stats.Bytes += written;
  if (complete)
    ++session.Stats.Files;
  else
    ++session.Stats.Failures;
  return true;
}

bool SaveDirectoryTo(TNTFSSaveSession& session, TNTFSDirectory& directory, const TNTFSSaveTarget& target,
                     bool recursive) {
  if (session.Status && session.Status->Cancelled) return false;
  std::string name = SafeFileName(directory.Name);
  std::string path = target.Path + name;
  if (!Exists(target.Fd, name)) {
    if (mkdirat(target.Fd, name.c_str(), 0777) != 0) {
      Warn(TextF(720, {path}), session.Status);
      ++session.Stats.Failures;
      return true;
    }
  } else if (!session.AllFolders) {
    TMsgResult answer = Host().MessageBox(TextF(715, {AnsiToUtf8(directory.Name)}) + "\r\r" + LoadText(716), "",
                                          TMsgButtons::YesNoAll, TMsgIcon::Question);
    if (session.Status) session.Status->RestartClock();
    if (answer == TMsgResult::No) {
      session.Overwrite = false;
      return false;
    }
    session.Overwrite = true;
    if (answer == TMsgResult::All) session.AllFolders = true;
  }
  // Entered without following a link, so a crafted or planted link cannot lead out of the target.
  int fd = openat(target.Fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    Warn(TextF(720, {path}), session.Status);
    ++session.Stats.Failures;
    return true;
  }
  ++session.Stats.Folders;
  TNTFSSaveTarget inside{fd, path + "/"};
  bool readHere = false;
  if (!directory.Children) {
    directory.ReadChildren();
    readHere = true;
  }
  if (session.Status) session.Status->RestartClock();
  bool result = true;
  if (directory.Children) {
    for (auto& child : *directory.Children) {
      if (auto* f = dynamic_cast<TNTFSFile*>(child.get()))
        result = SaveFileTo(session, *f, inside);
      else if (auto* d = dynamic_cast<TNTFSDirectory*>(child.get()); d && recursive)
        result = SaveDirectoryTo(session, *d, inside, recursive);
      if (!result || (session.Status && session.Status->Cancelled)) {
        result = false;
        break;
      }
    }
  }
  if (readHere) directory.Children.reset();
  close(fd);
  return result;
}

void TNTFSdrive::SaveSelectedTo(TListView& list) {
  LastSave = TSaveStats{};
  std::vector<TItem*> items = SelectedObjects(list);
  std::string folder;
  if (!Host().AskTargetFolder(folder) || folder.empty()) return;
  if (!ConfirmSaveTarget(Device, folder)) return;
  if (folder.back() != '/') folder += '/';
  int targetFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (targetFd < 0) {
    Host().MessageBox(TextF(720, {folder}), "", TMsgButtons::Ok, TMsgIcon::Error);
    ++LastSave.Failures;
    return;
  }
  TStatusDialog silent;
  TStatusDialog* status = Progress ? Progress : &silent;
  Host().EnableMainWindow(false);
  status->Setup(LoadText(709), LoadText(714), "", "", "", true, true);
  status->Show();

  uint64_t total = 0;
  for (TItem* item : items) {
    if (status->Cancelled) break;
    if (auto* f = dynamic_cast<TNTFSFile*>(item)) {
      total += f->Size;
    } else if (auto* d = dynamic_cast<TNTFSDirectory*>(item)) {
      d->Search(
          [&](TItem& i) {
            if (auto* file = dynamic_cast<TNTFSFile*>(&i)) total += file->Size;
            else Host().ProcessMessages();
            return !status->Cancelled;
          },
          true);
    }
  }
  status->Max = total;
  status->IntervalMs = 0;

  if (!status->Cancelled) {
    TNTFSSaveSession session{*this, status, LastSave};
    TNTFSSaveTarget target{targetFd, folder};
    for (TItem* item : items) {
      bool go = true;
      if (auto* f = dynamic_cast<TNTFSFile*>(item))
        go = SaveFileTo(session, *f, target);
      else if (auto* d = dynamic_cast<TNTFSDirectory*>(item))
        go = SaveDirectoryTo(session, *d, target, true);
      if (!go || status->Cancelled) break;
    }
  }
  LastSave.Cancelled = status->Cancelled;
  close(targetFd);
  Host().EnableMainWindow(true);
  status->Hide();
}

}  // namespace salvex
