#include "disk/ImageContainer.h"

#include <libewf.h>
#include <libqcow.h>
#include <libvhdi.h>
#include <libvmdk.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace salvex {

namespace {

bool StartsWith(std::span<const uint8_t> bytes, const char* text, size_t length) {
  return bytes.size() >= length && std::memcmp(bytes.data(), text, length) == 0;
}

// The libraries share one shape (libyal): an error object to print and free, a handle to
// initialise, open, read at an offset, close and free. One adapter per library fills this in.
template <typename Traits>
class TLibyalContainer : public TImageContainer {
 public:
  using Handle = typename Traits::Handle;
  using Error = typename Traits::Error;

  explicit TLibyalContainer(const std::string& path) {
    Error* error = nullptr;
    if (Traits::Initialize(&handle_, &error) != 1) Fail(error, path);
    if (Traits::Open(handle_, path, &error) != 1) Fail(error, path);
    opened_ = true;
    if (Traits::MediaSize(handle_, &size_, &error) != 1) Fail(error, path);
    if (Traits::SectorSize(handle_, &sectorSize_, &error) != 1) sectorSize_ = 0;
    Traits::ErrorFree(&error);
  }
  ~TLibyalContainer() override { Release(); }

  const char* Format() const override { return Traits::kName; }
  uint64_t MediaSize() const override { return size_; }
  uint32_t SectorSize() const override { return sectorSize_; }
  ssize_t ReadAt(void* buffer, size_t length, uint64_t offset) override {
    if (offset >= size_) return 0;
    if (length > size_ - offset) length = static_cast<size_t>(size_ - offset);
    Error* error = nullptr;
    ssize_t got = Traits::Read(handle_, buffer, length, static_cast<off64_t>(offset), &error);
    if (got < 0) {
      Traits::ErrorFree(&error);
      errno = EIO;
      return -1;
    }
    return got;
  }

 private:
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
    Release();
    throw std::runtime_error("cannot open the " + std::string(Traits::kName) + " image '" + path + "': " + text);
  }

  Handle* handle_ = nullptr;
  bool opened_ = false;
  uint64_t size_ = 0;
  uint32_t sectorSize_ = 0;
};

template <typename Handle, typename Error>
int NoSectorSize(Handle*, uint32_t* size, Error**) {
  *size = 0;
  return 1;
}

struct EwfTraits {
  using Handle = libewf_handle_t;
  using Error = libewf_error_t;
  static constexpr const char* kName = "EWF";
  static int Initialize(Handle** h, Error** e) { return libewf_handle_initialize(h, e); }
  // Every segment file (.E01, .E02, ...) of the set that `path` names.
  static int Open(Handle* h, const std::string& path, Error** e) {
    char** names = nullptr;
    int count = 0;
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, e) != 1) return -1;
    int result = libewf_handle_open(h, names, count, LIBEWF_OPEN_READ, e);
    libewf_glob_free(names, count, nullptr);
    return result;
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
  static constexpr const char* kName = "VMDK";
  static int Initialize(Handle** h, Error** e) { return libvmdk_handle_initialize(h, e); }
  // The descriptor first, then the extent files it names (beside it).
  static int Open(Handle* h, const std::string& path, Error** e) {
    if (libvmdk_handle_open(h, path.c_str(), LIBVMDK_OPEN_READ, e) != 1) return -1;
    return libvmdk_handle_open_extent_data_files(h, e);
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
  static constexpr const char* kName = "VHD";
  static int Initialize(Handle** h, Error** e) { return libvhdi_file_initialize(h, e); }
  static int Open(Handle* h, const std::string& path, Error** e) {
    return libvhdi_file_open(h, path.c_str(), LIBVHDI_OPEN_READ, e);
  }
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
  static constexpr const char* kName = "QCOW";
  static int Initialize(Handle** h, Error** e) { return libqcow_file_initialize(h, e); }
  static int Open(Handle* h, const std::string& path, Error** e) {
    return libqcow_file_open(h, path.c_str(), LIBQCOW_OPEN_READ, e);
  }
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
    case TContainerFormat::EWF: return std::make_unique<TLibyalContainer<EwfTraits>>(path);
    case TContainerFormat::VMDK: return std::make_unique<TLibyalContainer<VmdkTraits>>(path);
    case TContainerFormat::VHD:
    case TContainerFormat::VHDX: return std::make_unique<TLibyalContainer<VhdiTraits>>(path);
    case TContainerFormat::QCOW: return std::make_unique<TLibyalContainer<QcowTraits>>(path);
    default: return nullptr;
  }
}

}  // namespace salvex
