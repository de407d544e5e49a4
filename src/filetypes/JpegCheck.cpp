#include "filetypes/JpegCheck.h"

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace salvex {

namespace {

// libjpeg reports through these; errors leave by longjmp, so the decoding frame holds nothing
// with a destructor.
struct CheckError {
  jpeg_error_mgr manager;
  std::jmp_buf leave;
  const uint8_t* start = nullptr;
  jpeg_decompress_struct* info = nullptr;
  bool complained = false;
  uint64_t firstBad = 0;
};

void NoteBad(CheckError& e) {
  if (e.complained) return;
  e.complained = true;
  e.firstBad = uint64_t(e.info->src->next_input_byte - e.start);
}

void OnError(j_common_ptr common) {
  auto* e = reinterpret_cast<CheckError*>(common->err);
  NoteBad(*e);
  std::longjmp(e->leave, 1);
}

// A warning means corrupt data; the first one decides, so decoding stops there.
void OnMessage(j_common_ptr common, int level) {
  if (level >= 0) return;
  auto* e = reinterpret_cast<CheckError*>(common->err);
  NoteBad(*e);
  std::longjmp(e->leave, 1);
}

void Quiet(j_common_ptr) {}

bool Decode(jpeg_decompress_struct& info, CheckError& error, std::span<const uint8_t> bytes) {
  if (setjmp(error.leave)) return false;
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, bytes.data(), static_cast<unsigned long>(bytes.size()));
  if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) return false;
  info.scale_num = 1;
  info.scale_denom = 8;
  info.dct_method = JDCT_IFAST;
  info.do_fancy_upsampling = FALSE;
  info.do_block_smoothing = FALSE;
  info.buffered_image = FALSE;
  jpeg_start_decompress(&info);
  JSAMPARRAY row = (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE,
                                              info.output_width * info.output_components, 1);
  while (info.output_scanline < info.output_height)
    if (jpeg_read_scanlines(&info, row, 1) != 1) return false;
  jpeg_finish_decompress(&info);
  return true;
}

}  // namespace

TJpegCheck CheckJpegDecodes(std::span<const uint8_t> bytes) {
  TJpegCheck result;
  if (bytes.size() < 4) return result;
  jpeg_decompress_struct info{};
  CheckError error;
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = OnError;
  error.manager.emit_message = OnMessage;
  error.manager.output_message = Quiet;
  error.start = bytes.data();
  error.info = &info;
  const bool decoded = Decode(info, error, bytes);
  jpeg_destroy_decompress(&info);
  result.Clean = decoded && !error.complained;
  if (!result.Clean) result.FirstBad = error.complained ? error.firstBad : bytes.size();
  return result;
}

}  // namespace salvex
