// A zstd-compressed file and libzstd's streaming decoder reading it, one piece at a time.
#pragma once

#include <zstd.h>

#include <cstddef>
#include <memory>
#include <span>

#include "common/error.hpp"
#include "common/unique_fd.hpp"
#include "disk/file_io.hpp"

namespace brindle::disk {

class CompressedSource {
 public:
  // Allocates the input buffer of ZSTD_DStreamInSize() bytes and creates the decoder with
  // default parameters and no dictionary. A context libzstd cannot create is an internal fault.
  static Result<CompressedSource> create(UniqueFd source);

  // Decodes the next piece into `output` and returns its length, between 1 and output.size();
  // 0 once the compressed input has ended cleanly after a complete frame. Several frames, and
  // skippable frames, decode in sequence.
  Result<std::size_t> zstd_read_step(std::span<std::byte> output);

 private:
  struct FreeContext {
    void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
  };

  CompressedSource(UniqueFd source, PageBuffer input,
                   std::unique_ptr<ZSTD_DCtx, FreeContext> decoder)
      : decoder_(std::move(decoder)), source_(std::move(source)), input_(std::move(input)) {}

  Result<std::size_t> decode(ZSTD_inBuffer& in, ZSTD_outBuffer& out);

  // Released in the reverse order: the input buffer, the source, then the decoder.
  std::unique_ptr<ZSTD_DCtx, FreeContext> decoder_;
  UniqueFd source_;
  PageBuffer input_;
  std::size_t read_position_ = 0;
  std::size_t fill_level_ = 0;
  bool finished_frame_ = false;
  bool ended_ = false;
};

}  // namespace brindle::disk
