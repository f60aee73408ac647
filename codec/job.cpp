// Decode jobs. The decoders plug in here one by one; a job whose decoder is
// not built yet refuses every step with "bad_target" rather than pretending
// to have pixels.
#include "codec/job.h"

bool start_job(DecodeJob* job, ByteSpan source, const ImageInfo* info, u8* scratch, u64 scratch_size,
               u8* pixels, CodecError* err) {
    error_clear(err);
    job->info = *info;
    job->source = source;
    job->scratch = scratch;
    job->scratch_size = scratch_size;
    job->pixels.pixels = pixels;
    job->pixels.stride = row_stride(info->width);
    job->pixels.width = info->width;
    job->pixels.height = info->height;
    job->extra = pixels + align64(info->pixel_bytes);
    job->requested_frame = 0;
    job->decoded_frame = -1;
    job->base_done = false;
    job->swap_red_blue = false;
    job->png_header_read = false;
    job->full_ready = false;
    return true;
}

bool decode_step(DecodeJob* job, CodecError* err) {
    (void)job;
    return fail(err, ERR_BAD_TARGET, 0);
}

bool finish_full_resolution(DecodeJob* job, CodecError* err) {
    (void)job;
    return fail(err, ERR_BAD_TARGET, 0);
}

bool render_tile(DecodeJob* job, u32 level, u32 column, u32 row, PixelBuffer* tile, CodecError* err) {
    (void)job;
    (void)level;
    (void)column;
    (void)row;
    (void)tile;
    return fail(err, ERR_BAD_TARGET, 0);
}

u32 frame_delay(const DecodeJob* job, u32 frame) {
    (void)job;
    (void)frame;
    return 0;
}
