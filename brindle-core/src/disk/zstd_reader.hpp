// libzstd's streaming decoder driven one piece at a time over a compressed file.
#pragma once

#include <zstd.h>

#include <cstddef>
#include <memory>
#include <span>

#include "common/error.hpp"
#include "common/unique_fd.hpp"
#include "disk/file_io.hpp"

namespace brindle::disk {

class ZstdReader {
 public:
  // Allocates the input buffer of ZSTD_DStreamInSize() bytes and creates the decoder with
  // default parameters and no dictionary. A context libzstd cannot create is an internal fault.
  static Result<ZstdReader> create(UniqueFd source);

  // Decodes the next piece into `output` and returns its length, between 1 and output.size();
  // 0 once the compressed input has ended cleanly after a complete frame. Several frames, and
  // skippable frames, decode in sequence.
  Result<std::size_t> zstd_read_step(std::span<std::byte> output);

  // Releases in the order the caller wants: the input buffer, the source, then the decoder.
  void release_input() { input_.reset(); }
  void close_source() { source_.reset(); }
  void free_decoder() { decoder_.reset(); }

 private:
  struct FreeContext {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
  };

  ZstdReader(UniqueFd source, PageBuffer input, std::unique_ptr<ZSTD_DCtx, FreeContext> decoder)
      : source_(std::move(source)), input_(std::move(input)), decoder_(std::move(decoder)) {}

  Result<std::size_t> decode(ZSTD_inBuffer& in, ZSTD_outBuffer& out);

  UniqueFd source_;
  PageBuffer input_;
  std::size_t read_position_ = 0;
  std::size_t fill_level_ = 0;
  std::unique_ptr<ZSTD_DCtx, FreeContext> decoder_;
  bool finished_frame_ = false;
  bool ended_ = false;
};

}  // namespace brindle::disk
