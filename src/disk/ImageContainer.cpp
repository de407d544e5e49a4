#include "disk/ImageContainer.h"

#include <fcntl.h>
#include <libbfio.h>
#include <libewf.h>
#include <libqcow.h>
#include <libvhdi.h>
#include <libvmdk.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "disk/ContainerTables.h"

namespace salvex {

namespace {

bool StartsWith(std::span<const uint8_t> bytes, const char* text, size_t length) {
  return bytes.size() >= length && std::memcmp(bytes.data(), text, length) == 0;
}

std::string Beside(const std::string& path, const std::string& name) {
  // The parent's recorded name may be a Windows or absolute path: only its last part is looked for.
  const size_t cut = name.find_last_of("/\\");
  const std::string base = cut == std::string::npos ? name : name.substr(cut + 1);
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? base : path.substr(0, slash + 1) + base;
}

// Checks the container's own tables through a descriptor of its own before the library reads them.
TContainerCheck CheckFile(const std::string& path, TContainerFormat format) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  struct stat st {};
  TContainerCheck check;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    check = CheckContainerTables(format, uint64_t(st.st_size), [fd](uint64_t offset, std::span<uint8_t> buffer) {
      size_t done = 0;
      while (done < buffer.size()) {
        ssize_t r = ::pread(fd, buffer.data() + done, buffer.size() - done, off_t(offset + done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += size_t(r);
      }
      return true;
    });
  }
  ::close(fd);
  return check;
}

TContainerFormat DetectFile(const std::string& path) {
  uint8_t head[64] = {}, tail[512] = {};
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return TContainerFormat::None;
  struct stat st {};
  ssize_t headBytes = ::pread(fd, head, sizeof head, 0), tailBytes = 0;
  if (::fstat(fd, &st) == 0 && st.st_size >= 512) tailBytes = ::pread(fd, tail, sizeof tail, st.st_size - 512);
  ::close(fd);
  return DetectContainer(std::span<const uint8_t>(head, headBytes > 0 ? size_t(headBytes) : 0),
                         std::span<const uint8_t>(tail, tailBytes > 0 ? size_t(tailBytes) : 0));
}

constexpr int kMaxParents = 16;

// The libraries share one shape (libyal): an error object to print and free, a handle to
// initialise, open, read at an offset, close and free. One adapter per library fills this in;
// the optional parts (parent images, damage the library reports while reading) only where the
// library has them.
template <typename Traits>
class TLibyalContainer : public TImageContainer {
 public:
  using Handle = typename Traits::Handle;
  using Error = typename Traits::Error;

  TLibyalContainer(const std::string& path, TContainerFormat format, int depth = 0) {
    TContainerCheck check = CheckFile(path, format);
    if (!check.Refusal.empty()) Refuse(path, check.Refusal);
    damaged_ = std::move(check.Damaged);
    zeros_ = std::move(check.Zeros);
    Error* error = nullptr;
    if (Traits::Initialize(&handle_, &error) != 1) Fail(error, path);
    int opened = -1;
    try {
      opened = Traits::Open(handle_, path, extra_, damaged_, &error);
    } catch (const std::exception& e) {
      Traits::ErrorFree(&error);
      Refuse(path, e.what());
    }
    if (opened != 1) Fail(error, path);
    opened_ = true;
    if (Traits::MediaSize(handle_, &size_, &error) != 1) Fail(error, path);
    if (Traits::SectorSize(handle_, &sectorSize_, &error) != 1) sectorSize_ = 0;
    Traits::ErrorFree(&error);
    if constexpr (requires(std::string& name) { Traits::ParentName(handle_, name); }) OpenParent(path, format, depth);
    if constexpr (requires { Traits::NoteDamage(handle_, extra_, damaged_, sectorSize_); })
      Traits::NoteDamage(handle_, extra_, damaged_, sectorSize_);
  }
  ~TLibyalContainer() override { Release(); }

  const char* Format() const override { return Traits::kName; }
  uint64_t MediaSize() const override { return size_; }
  uint32_t SectorSize() const override { return sectorSize_; }
  ssize_t ReadAt(void* buffer, size_t length, uint64_t offset) override {
    if (offset >= size_) return 0;
    if (length > size_ - offset) length = static_cast<size_t>(size_ - offset);
    if (const uint64_t zeroEnd = zeros_.CoveredEnd(offset); zeroEnd > offset) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(length, zeroEnd - offset));
      std::memset(buffer, 0, n);
      return static_cast<ssize_t>(n);
    }
    length = static_cast<size_t>(zeros_.FirstDamaged(offset, length) - offset);
    // Damage known before the read is never handed to the library; damage it reports while
    // reading turns the bytes it zero-filled into a read error.
    length = GoodPart(length, offset);
    if (length == 0) return -1;
    Error* error = nullptr;
    ssize_t got = Traits::Read(handle_, buffer, length, static_cast<off64_t>(offset), &error);
    if (got < 0) {
      Traits::ErrorFree(&error);
      errno = EIO;
      return -1;
    }
    if constexpr (requires { Traits::NoteDamage(handle_, extra_, damaged_, sectorSize_); }) {
      Traits::NoteDamage(handle_, extra_, damaged_, sectorSize_);
      got = static_cast<ssize_t>(GoodPart(static_cast<size_t>(got), offset));
      if (got == 0) return -1;
    }
    return got;
  }

 private:
  size_t GoodPart(size_t length, uint64_t offset) {
    const uint64_t bad = damaged_.FirstDamaged(offset, length);
    if (bad == offset) errno = EIO;
    return static_cast<size_t>(bad - offset);
  }
  void OpenParent(const std::string& path, TContainerFormat format, int depth) {
    std::string name;
    if (!Traits::ParentName(handle_, name)) return;
    const std::string parent = Beside(path, name);
    std::string why;
    if (depth >= kMaxParents) why = "its chain of parent images is longer than " + std::to_string(kMaxParents);
    else if (::access(parent.c_str(), R_OK) != 0)
      why = "it holds only the changes to its parent image '" + name + "', which is not beside it (looked for '" +
            parent + "')";
    if (why.empty()) {
      TContainerFormat kind = DetectFile(parent);
      if (Traits::ParentFormat(kind) == TContainerFormat::None)
        why = "its parent image '" + parent + "' is not a " + Traits::kName + " image, the only kind it can be read through";
      else
        format = kind;
    }
    if (!why.empty()) Refuse(path, why);
    try {
      parent_ = std::make_unique<TLibyalContainer<Traits>>(parent, format, depth + 1);
    } catch (const std::exception& e) {
      Refuse(path, std::string("its parent image cannot be read: ") + e.what());
    }
    Error* error = nullptr;
    if (Traits::SetParent(handle_, parent_->handle_, &error) != 1) Fail(error, path);
  }
  void Release() {
    Error* error = nullptr;
    if (opened_) Traits::Close(handle_, &error);
    Traits::ErrorFree(&error);
    if (handle_) Traits::Free(&handle_, &error);
    Traits::ErrorFree(&error);
    opened_ = false;
  }
  [[noreturn]] void Fail(Error* error, const std::string& path) {
    char text[512] = "unknown error";
    if (error) Traits::ErrorPrint(error, text, sizeof text);
    Traits::ErrorFree(&error);
    Refuse(path, text);
  }
  [[noreturn]] void Refuse(const std::string& path, const std::string& why) {
    Release();
    throw std::runtime_error("cannot open the " + std::string(Traits::kName) + " image '" + path + "': " + why);
  }

  Handle* handle_ = nullptr;
  bool opened_ = false;
  uint64_t size_ = 0;
  uint32_t sectorSize_ = 0;
  TDamagedRanges damaged_;
  TDamagedRanges zeros_;
  typename Traits::Extra extra_;
  std::unique_ptr<TLibyalContainer<Traits>> parent_;  // freed after this handle, which reads through it
};

template <typename Handle, typename Error>
int NoSectorSize(Handle*, uint32_t* size, Error**) {
  *size = 0;
  return 1;
}

struct NoExtra {};

struct EwfTraits {
  using Handle = libewf_handle_t;
  using Error = libewf_error_t;
  struct Extra {
    bool acquiryErrorsRead = false;
  };
  static constexpr const char* kName = "EWF";
  static int Initialize(Handle** h, Error** e) { return libewf_handle_initialize(h, e); }
  // Every segment file (.E01, .E02, ...) of the set that `path` names.
  static int Open(Handle* h, const std::string& path, Extra&, TDamagedRanges&, Error** e) {
    char** names = nullptr;
    int count = 0;
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, e) != 1) return -1;
    int result = libewf_handle_open(h, names, count, LIBEWF_OPEN_READ, e);
    libewf_glob_free(names, count, nullptr);
    // A set without its closing sections opens, and then reads its chunk offsets from wherever.
    if (result == 1 && libewf_handle_segment_files_corrupted(h, nullptr) == 1)
      throw std::runtime_error("the EWF image is cut short or its sections are damaged (ewfverify tells which)");
    return result;
  }
  // The library zero-fills a chunk whose checksum fails or whose compressed data does not inflate,
  // and lists it (merged with its neighbours, so the list is read whole); sectors the acquisition
  // could not read are listed in the image itself.
  static void NoteDamage(Handle* h, Extra& extra, TDamagedRanges& damaged, uint32_t sectorSize) {
    const uint64_t bytes = sectorSize ? sectorSize : 512;
    uint32_t count = 0;
    if (!extra.acquiryErrorsRead) {
      extra.acquiryErrorsRead = true;
      if (libewf_handle_get_number_of_acquiry_errors(h, &count, nullptr) == 1)
        for (uint32_t i = 0; i < count; ++i) AddSectors(h, i, bytes, damaged, libewf_handle_get_acquiry_error);
    }
    if (libewf_handle_get_number_of_checksum_errors(h, &count, nullptr) != 1) return;
    for (uint32_t i = 0; i < count; ++i) AddSectors(h, i, bytes, damaged, libewf_handle_get_checksum_error);
  }
  template <typename Get>
  static void AddSectors(Handle* h, uint32_t index, uint64_t bytes, TDamagedRanges& damaged, Get get) {
    uint64_t first = 0, count = 0;
    if (get(h, index, &first, &count, nullptr) != 1 || count == 0) return;
    if (first > UINT64_MAX / bytes || count > UINT64_MAX / bytes - first) return;
    damaged.Add(first * bytes, (first + count) * bytes);
  }
  static int MediaSize(Handle* h, uint64_t* size, Error** e) {
    size64_t s = 0;
    int r = libewf_handle_get_media_size(h, &s, e);
    *size = s;
    return r;
  }
  static int SectorSize(Handle* h, uint32_t* size, Error** e) { return libewf_handle_get_bytes_per_sector(h, size, e); }
  static ssize_t Read(Handle* h, void* b, size_t n, off64_t o, Error** e) {
    return libewf_handle_read_random(h, b, n, o, e);
  }
  static int Close(Handle* h, Error** e) { return libewf_handle_close(h, e); }
  static int Free(Handle** h, Error** e) { return libewf_handle_free(h, e); }
  static void ErrorPrint(Error* e, char* t, size_t n) { libewf_error_sprint(e, t, n); }
  static void ErrorFree(Error** e) { libewf_error_free(e); }
};

struct VmdkTraits {
  using Handle = libvmdk_handle_t;
  using Error = libvmdk_error_t;
  // The file opened as the extent of a single-file VMDK: freed after the handle is closed.
  struct Extra {
    libbfio_pool_t* pool = nullptr;
    ~Extra() {
      if (pool) libbfio_pool_free(&pool, nullptr);
    }
  };
  static constexpr const char* kName = "VMDK";
  static int Initialize(Handle** h, Error** e) { return libvmdk_handle_initialize(h, e); }
  static int Open(Handle* h, const std::string& path, Extra& extra, TDamagedRanges& damaged, Error** e) {
    if (libvmdk_handle_open(h, path.c_str(), LIBVMDK_OPEN_READ, e) != 1) return -1;
    int extents = 0;
    if (libvmdk_handle_get_number_of_extents(h, &extents, e) != 1) return -1;
    // A single-file VMDK names itself in its embedded descriptor, by the name it was made with:
    // after a rename that name is missing, or worse, another file. Its one extent is this file.
    if (extents == 1 && StartsWithSparseHeader(path))
      return OpenSelf(h, path, extra, e);
    if (libvmdk_handle_open_extent_data_files(h, e) != 1) return -1;
    CheckExtents(h, path, extents, damaged);
    return 1;
  }
  static bool StartsWithSparseHeader(const std::string& path) {
    char magic[4] = {};
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    bool sparse = fd >= 0 && ::pread(fd, magic, 4, 0) == 4 && std::memcmp(magic, "KDMV", 4) == 0;
    if (fd >= 0) ::close(fd);
    return sparse;
  }
  static int OpenSelf(Handle* h, const std::string& path, Extra& extra, Error** e) {
    libbfio_handle_t* file = nullptr;
    int entry = 0;
    bool made = libbfio_pool_initialize(&extra.pool, 0, 0, nullptr) == 1 &&
                libbfio_file_initialize(&file, nullptr) == 1 &&
                libbfio_file_set_name(file, path.c_str(), path.size(), nullptr) == 1;
    if (made && libbfio_pool_append_handle(extra.pool, &entry, file, LIBBFIO_OPEN_READ, nullptr) == 1) file = nullptr;
    else made = false;
    if (file) libbfio_handle_free(&file, nullptr);
    if (!made) throw std::runtime_error("cannot set up reading the file as its own extent");
    return libvmdk_handle_open_extent_data_files_file_io_pool(h, extra.pool, e);
  }
  // The sparse extents a descriptor names, each checked as a single-file one is.
  static void CheckExtents(Handle* h, const std::string& path, int extents, TDamagedRanges& damaged) {
    for (int i = 0; i < extents; ++i) {
      libvmdk_extent_descriptor_t* extent = nullptr;
      if (libvmdk_handle_get_extent_descriptor(h, i, &extent, nullptr) != 1) continue;
      int type = 0;
      off64_t offset = 0;
      size64_t size = 0;
      size_t nameSize = 0;
      std::string name;
      if (libvmdk_extent_descriptor_get_type(extent, &type, nullptr) == 1 && type == LIBVMDK_EXTENT_TYPE_SPARSE &&
          libvmdk_extent_descriptor_get_range(extent, &offset, &size, nullptr) == 1 &&
          libvmdk_extent_descriptor_get_utf8_filename_size(extent, &nameSize, nullptr) == 1 && nameSize > 1) {
        name.resize(nameSize);
        if (libvmdk_extent_descriptor_get_utf8_filename(extent, reinterpret_cast<uint8_t*>(name.data()), nameSize,
                                                        nullptr) != 1)
          name.clear();
        else
          name.resize(nameSize - 1);
      }
      libvmdk_extent_descriptor_free(&extent, nullptr);
      if (name.empty()) continue;
      const std::string file = Beside(path, name);
      TContainerCheck shifted;
      int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
      struct stat st {};
      if (fd >= 0 && ::fstat(fd, &st) == 0)
        CheckVmdkSparseExtent(uint64_t(offset), uint64_t(st.st_size),
                              [fd](uint64_t at, std::span<uint8_t> b) {
                                return ::pread(fd, b.data(), b.size(), off_t(at)) == ssize_t(b.size());
                              },
                              shifted, "extent '" + file + "'");
      if (fd >= 0) ::close(fd);
      if (!shifted.Refusal.empty()) throw std::runtime_error(shifted.Refusal);
      damaged.Merge(shifted.Damaged);
    }
  }
  static int MediaSize(Handle* h, uint64_t* size, Error** e) {
    size64_t s = 0;
    int r = libvmdk_handle_get_media_size(h, &s, e);
    *size = s;
    return r;
  }
  static int SectorSize(Handle* h, uint32_t* size, Error** e) { return NoSectorSize(h, size, e); }
  static ssize_t Read(Handle* h, void* b, size_t n, off64_t o, Error** e) {
    return libvmdk_handle_read_buffer_at_offset(h, b, n, o, e);
  }
  static int Close(Handle* h, Error** e) { return libvmdk_handle_close(h, e); }
  static int Free(Handle** h, Error** e) { return libvmdk_handle_free(h, e); }
  static void ErrorPrint(Error* e, char* t, size_t n) { libvmdk_error_sprint(e, t, n); }
  static void ErrorFree(Error** e) { libvmdk_error_free(e); }
};

struct VhdiTraits {
  using Handle = libvhdi_file_t;
  using Error = libvhdi_error_t;
  using Extra = NoExtra;
  static constexpr const char* kName = "VHD";
  static int Initialize(Handle** h, Error** e) { return libvhdi_file_initialize(h, e); }
  static int Open(Handle* h, const std::string& path, Extra&, TDamagedRanges&, Error** e) {
    return libvhdi_file_open(h, path.c_str(), LIBVHDI_OPEN_READ, e);
  }
  static bool ParentName(Handle* h, std::string& name) {
    uint32_t type = 0;
    size_t size = 0;
    if (libvhdi_file_get_disk_type(h, &type, nullptr) != 1 || type != LIBVHDI_DISK_TYPE_DIFFERENTIAL) return false;
    if (libvhdi_file_get_utf8_parent_filename_size(h, &size, nullptr) != 1 || size < 2) {
      name = "(unnamed)";
      return true;
    }
    name.resize(size);
    if (libvhdi_file_get_utf8_parent_filename(h, reinterpret_cast<uint8_t*>(name.data()), size, nullptr) != 1)
      name = "(unnamed)";
    else
      name.resize(std::strlen(name.c_str()));
    return true;
  }
  static TContainerFormat ParentFormat(TContainerFormat kind) {
    return kind == TContainerFormat::VHD || kind == TContainerFormat::VHDX ? kind : TContainerFormat::None;
  }
  static int SetParent(Handle* h, Handle* parent, Error** e) { return libvhdi_file_set_parent_file(h, parent, e); }
  static int MediaSize(Handle* h, uint64_t* size, Error** e) {
    size64_t s = 0;
    int r = libvhdi_file_get_media_size(h, &s, e);
    *size = s;
    return r;
  }
  static int SectorSize(Handle* h, uint32_t* size, Error** e) { return libvhdi_file_get_bytes_per_sector(h, size, e); }
  static ssize_t Read(Handle* h, void* b, size_t n, off64_t o, Error** e) {
    return libvhdi_file_read_buffer_at_offset(h, b, n, o, e);
  }
  static int Close(Handle* h, Error** e) { return libvhdi_file_close(h, e); }
  static int Free(Handle** h, Error** e) { return libvhdi_file_free(h, e); }
  static void ErrorPrint(Error* e, char* t, size_t n) { libvhdi_error_sprint(e, t, n); }
  static void ErrorFree(Error** e) { libvhdi_error_free(e); }
};

struct QcowTraits {
  using Handle = libqcow_file_t;
  using Error = libqcow_error_t;
  using Extra = NoExtra;
  static constexpr const char* kName = "QCOW";
  static int Initialize(Handle** h, Error** e) { return libqcow_file_initialize(h, e); }
  static int Open(Handle* h, const std::string& path, Extra&, TDamagedRanges&, Error** e) {
    return libqcow_file_open(h, path.c_str(), LIBQCOW_OPEN_READ, e);
  }
  static bool ParentName(Handle* h, std::string& name) {
    size_t size = 0;
    if (libqcow_file_get_utf8_backing_filename_size(h, &size, nullptr) != 1 || size < 2) return false;
    name.resize(size);
    if (libqcow_file_get_utf8_backing_filename(h, reinterpret_cast<uint8_t*>(name.data()), size, nullptr) != 1)
      name = "(unnamed)";
    else
      name.resize(std::strlen(name.c_str()));
    return true;
  }
  static TContainerFormat ParentFormat(TContainerFormat kind) {
    return kind == TContainerFormat::QCOW ? kind : TContainerFormat::None;
  }
  static int SetParent(Handle* h, Handle* parent, Error** e) { return libqcow_file_set_parent_file(h, parent, e); }
  static int MediaSize(Handle* h, uint64_t* size, Error** e) {
    size64_t s = 0;
    int r = libqcow_file_get_media_size(h, &s, e);
    *size = s;
    return r;
  }
  static int SectorSize(Handle* h, uint32_t* size, Error** e) { return NoSectorSize(h, size, e); }
  static ssize_t Read(Handle* h, void* b, size_t n, off64_t o, Error** e) {
    return libqcow_file_read_buffer_at_offset(h, b, n, o, e);
  }
  static int Close(Handle* h, Error** e) { return libqcow_file_close(h, e); }
  static int Free(Handle** h, Error** e) { return libqcow_file_free(h, e); }
  static void ErrorPrint(Error* e, char* t, size_t n) { libqcow_error_sprint(e, t, n); }
  static void ErrorFree(Error** e) { libqcow_error_free(e); }
};

}  // namespace

TContainerFormat DetectContainer(std::span<const uint8_t> head, std::span<const uint8_t> tail) {
  if (StartsWith(head, "EVF\x09\x0D\x0A\xFF\x00", 8) || StartsWith(head, "EVF2\x0D\x0A\x81\x00", 8))
    return TContainerFormat::EWF;
  if (StartsWith(head, "KDMV", 4) || StartsWith(head, "COWD", 4) || StartsWith(head, "# Disk DescriptorFile", 21))
    return TContainerFormat::VMDK;
  if (StartsWith(head, "vhdxfile", 8)) return TContainerFormat::VHDX;
  if (StartsWith(head, "QFI\xFB", 4)) return TContainerFormat::QCOW;
  // A dynamic VHD starts with a copy of its footer; a fixed one has only the footer at the end.
  if (StartsWith(head, "conectix", 8) || StartsWith(tail, "conectix", 8)) return TContainerFormat::VHD;
  return TContainerFormat::None;
}

const char* ContainerName(TContainerFormat format) {
  switch (format) {
    case TContainerFormat::EWF: return "EWF";
    case TContainerFormat::VMDK: return "VMDK";
    case TContainerFormat::VHD: return "VHD";
    case TContainerFormat::VHDX: return "VHDX";
    case TContainerFormat::QCOW: return "QCOW";
    default: return "raw";
  }
}

std::unique_ptr<TImageContainer> OpenContainer(const std::string& path, TContainerFormat format) {
  switch (format) {
    case TContainerFormat::EWF: return std::make_unique<TLibyalContainer<EwfTraits>>(path, format);
    case TContainerFormat::VMDK: return std::make_unique<TLibyalContainer<VmdkTraits>>(path, format);
    case TContainerFormat::VHD:
    case TContainerFormat::VHDX: return std::make_unique<TLibyalContainer<VhdiTraits>>(path, format);
    case TContainerFormat::QCOW: return std::make_unique<TLibyalContainer<QcowTraits>>(path, format);
    default: return nullptr;
  }
}

}  // namespace salvex
