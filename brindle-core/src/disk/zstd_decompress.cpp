#include "disk/zstd_decompress.hpp"

#include <unistd.h>

#include <cerrno>
#include <climits>

#include "disk/compressed_source.hpp"
#include "disk/file_io.hpp"
#include "disk/temp_path.hpp"

namespace brindle::disk {

namespace {

Error zstd_error(std::size_t code) { return Error::io(ZSTD_getErrorName(code)); }

Status check(std::size_t result) {
  if (ZSTD_isError(result)) return fail(zstd_error(result));
  return {};
}

// Everything between opening the source and the rename; the caller removes the temporary file
// when this fails.
Status decompress_into(std::string_view source, std::string_view temporary, std::string_view target,
                       std::uint64_t chunk_size) {
  auto input = open_for_reading(source);
  if (!input) return fail(input.error());
  auto compressed = CompressedSource::create(std::move(*input));
  if (!compressed) return fail(compressed.error());
  auto output = open_temporary(temporary);
  if (!output) return fail(output.error());
  auto buffer = PageBuffer::allocate(chunk_size);
  if (!buffer) return fail(buffer.error());

  std::uint64_t total = 0;
  for (;;) {
    auto piece = compressed->zstd_read_step(buffer->span());
    if (!piece) return fail(piece.error());
    if (*piece == 0) break;
    if (auto written = write_chunk(output->get(), buffer->span().first(*piece)); !written) {
      return written;
    }
    total += *piece;
  }
  if (auto sized = set_length(output->get(), total); !sized) return sized;
  // Renamed while both files are still open; the output buffer, the temporary file and the
  // compressed source are then released in that order.
  return rename_path(temporary, target);
}

}  // namespace

Result<CompressedSource> CompressedSource::create(UniqueFd source) {
  auto input = PageBuffer::allocate(ZSTD_DStreamInSize());
  if (!input) return fail(input.error());
  std::unique_ptr<ZSTD_DCtx, FreeContext> decoder(ZSTD_createDCtx());
  if (!decoder) panic("zstd returned null pointer when creating new context");
  if (auto initialised = check(ZSTD_initDStream(decoder.get())); !initialised) {
    return fail(initialised.error());
  }
  if (auto loaded = check(ZSTD_DCtx_loadDictionary(decoder.get(), nullptr, 0)); !loaded) {
    return fail(loaded.error());
  }
  return CompressedSource(std::move(source), std::move(*input), std::move(decoder));
}

Result<std::size_t> CompressedSource::decode(ZSTD_inBuffer& in, ZSTD_outBuffer& out) {
  const std::size_t result = ZSTD_decompressStream(decoder_.get(), &out, &in);
  if (ZSTD_isError(result)) return fail(zstd_error(result));
  if (result == 0) finished_frame_ = true;
  return out.pos;
}

Result<std::size_t> CompressedSource::zstd_read_step(std::span<std::byte> output) {
  if (ended_) return 0;
  ZSTD_outBuffer out{output.data(), output.size(), 0};

  // An empty input first: the decoder may still hold output from the previous step.
  ZSTD_inBuffer nothing{input_.data(), 0, 0};
  auto flushed = decode(nothing, out);
  if (!flushed) return flushed;
  if (*flushed != 0) return flushed;

  for (;;) {
    if (read_position_ == fill_level_) {
      const std::size_t capacity = input_.size() < INT_MAX ? input_.size() : INT_MAX;
      const ssize_t count = ::read(source_.get(), input_.data(), capacity);
      if (count < 0) return fail(Error::last_os());
      read_position_ = 0;
      fill_level_ = static_cast<std::size_t>(count);
    }
    if (fill_level_ == 0) {
      if (!finished_frame_) return fail(Error::io("incomplete frame"));
      ended_ = true;
      return 0;
    }
    if (finished_frame_) {
      if (auto reset = check(ZSTD_DCtx_reset(decoder_.get(), ZSTD_reset_session_only)); !reset) {
        return fail(reset.error());
      }
      finished_frame_ = false;
    }
    ZSTD_inBuffer in{input_.data(), fill_level_, read_position_};
    auto produced = decode(in, out);
    if (!produced) return produced;
    read_position_ = in.pos;
    if (*produced != 0) return produced;
  }
}

Result<std::string> decompress_zstd_sparse(std::string_view source, std::string_view target,
                                           std::uint64_t chunk_size) {
  if (chunk_size == 0) return fail(Error::io("chunk_size must be greater than zero"));
  if (const auto parent = parent_of(target); parent && !parent->empty()) {
    if (auto made = create_dir_all(*parent); !made) return fail(made.error());
  }
  const auto temporary = temp_path_for(target, ".tmp");
  if (!temporary) return fail(temporary.error());
  if (auto done = decompress_into(source, *temporary, target, chunk_size); !done) {
    remove_temporary(*temporary);
    return fail(done.error());
  }
  return std::string("sparse");
}

}  // namespace brindle::disk
