// Video output: one decoded picture becomes zero, one or several encoded frames of one output
// stream (frame-rate conversion), cropped, scaled and padded on the way.
//
// Output formats that once took raw pictures instead of packets are gone from the library: the
// rawvideo encoder makes ordinary packets, so every format goes through the encoder here.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

#include "MediaPaths.h"

namespace engine {

namespace {

// Plane pointers and line sizes of a picture, or of a window into one.
struct TPictureView {
  uint8_t* Data[4] = {};
  int Linesize[4] = {};
};

TPictureView ViewOf(const AVFrame* frame) {
  TPictureView view;
  for (int i = 0; i < 4; ++i) {
    view.Data[i] = frame->data[i];
    view.Linesize[i] = frame->linesize[i];
  }
  return view;
}

// A window moved down `top` rows and right `left` columns, sharing the picture's memory: the
// right and bottom bands are left out by the size the window is read or written with.
bool CropView(TPictureView& view, const TPictureView& source, int format, int top, int left) {
  const AVPixFmtDescriptor* desc = lib::avutil.av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
  if (!desc || top < 0 || left < 0 ||
      (desc->flags & (AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_PAL)))
    return false;
  view = source;
  int step[4] = {};
  for (int c = 0; c < desc->nb_components; ++c)
    step[desc->comp[c].plane] = std::max(step[desc->comp[c].plane], desc->comp[c].step);
  for (int p = 0; p < 4; ++p) {
    if (!source.Data[p]) continue;
    const bool chroma = p == 1 || p == 2;
    const int rows = chroma ? top >> desc->log2_chroma_h : top;
    const int columns = chroma ? left >> desc->log2_chroma_w : left;
    view.Data[p] = source.Data[p] + static_cast<ptrdiff_t>(rows) * source.Linesize[p] +
                   static_cast<ptrdiff_t>(columns) * step[p];
  }
  return true;
}

// Paints the bands around the inner area in the pad colour (one value per plane: Y, U, V), copying
// `source` into the inner area first when there is one (none: it was scaled there already).
// Planar 8-bit YUV (or grey) only.
bool PadPicture(const TPictureView& target, const TPictureView* source, int height, int width,
                int format, int top, int bottom, int left, int right, const std::array<int32_t, 3>& color) {
  const AVPixFmtDescriptor* desc = lib::avutil.av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
  if (!desc || (desc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM |
                               AV_PIX_FMT_FLAG_HWACCEL)))
    return false;
  if (desc->nb_components != 1 && desc->nb_components != 3) return false;
  if (desc->nb_components == 3 && !(desc->flags & AV_PIX_FMT_FLAG_PLANAR)) return false;
  for (int c = 0; c < desc->nb_components; ++c)
    if (desc->comp[c].depth > 8 || desc->comp[c].step != 1) return false;
  if (top < 0 || bottom < 0 || left < 0 || right < 0 || top + bottom > height || left + right > width)
    return false;
  for (int p = 0; p < desc->nb_components; ++p) {
    const int sx = p ? desc->log2_chroma_w : 0, sy = p ? desc->log2_chroma_h : 0;
    const int planeWidth = -((-width) >> sx), planeHeight = -((-height) >> sy);
    const int padTop = top >> sy, padBottom = bottom >> sy, padLeft = left >> sx, padRight = right >> sx;
    const int innerWidth = std::max(0, planeWidth - padLeft - padRight);
    const uint8_t value = static_cast<uint8_t>(std::clamp(color[p], 0, 255));
    for (int y = 0; y < planeHeight; ++y) {
      uint8_t* row = target.Data[p] + static_cast<ptrdiff_t>(y) * target.Linesize[p];
      if (y < padTop || y >= planeHeight - padBottom) {
        std::memset(row, value, static_cast<size_t>(planeWidth));
        continue;
      }
      std::memset(row, value, static_cast<size_t>(padLeft));
      if (source) {
        const uint8_t* in = source->Data[p] + static_cast<ptrdiff_t>(y - padTop) * source->Linesize[p];
        std::memmove(row + padLeft, in, static_cast<size_t>(innerWidth));
      }
      std::memset(row + planeWidth - padRight, value, static_cast<size_t>(padRight));
    }
  }
  return true;
}

// Whether every plane of `view` lies in memory that `owner` holds references to; a picture whose
// pointers were redirected (a hook's buffer) does not, and must be copied for the encoder.
bool WithinBuffers(const AVFrame* owner, const TPictureView& view) {
  if (!owner->buf[0]) return false;
  for (int p = 0; p < 4; ++p) {
    if (!view.Data[p]) continue;
    bool inside = false;
    for (const AVBufferRef* ref : owner->buf) {
      if (ref && view.Data[p] >= ref->data && view.Data[p] < ref->data + ref->size) inside = true;
    }
    if (!inside) return false;
  }
  return true;
}

// A stream may change its picture size or format mid-way; the encoder's size stays, so such
// pictures go through a scaler made for them (read as they were set up for, they would be read
// past their end).
bool FollowSourceChange(TOutputStreamState& ost, const AVFrame* picture, int32_t swsFlags,
                        int cropBottom, int cropRight) {
  if (ost.SourceWidth <= 0 ||
      (picture->width == ost.SourceWidth && picture->height == ost.SourceHeight &&
       picture->format == ost.SourceFormat))
    return true;
  const AVCodecContext* enc = ost.Encoder;
  const int width = picture->width - ost.CropLeft - cropRight;
  const int height = picture->height - ost.CropTop - cropBottom;
  if (width <= 0 || height <= 0) return false;
  ost.ScaleContext.reset(lib::swscale.sws_getContext(
      width, height, static_cast<AVPixelFormat>(picture->format),
      enc->width - ost.PadLeft - ost.PadRight, enc->height - ost.PadTop - ost.PadBottom, enc->pix_fmt,
      swsFlags, nullptr, nullptr, nullptr));
  if (!ost.ScaleContext) return false;
  if (!ost.PictureBuffer) {
    FramePtr buffer(lib::avutil.av_frame_alloc());
    if (!buffer) return false;
    buffer->format = enc->pix_fmt;
    buffer->width = enc->width;
    buffer->height = enc->height;
    if (lib::avutil.av_frame_get_buffer(buffer.get(), 0) < 0) return false;
    ost.PictureBuffer = std::move(buffer);
  }
  ost.VideoResample = 1;
  ost.ScaleSourceHeight = height;
  ost.SourceWidth = picture->width;
  ost.SourceHeight = picture->height;
  ost.SourceFormat = picture->format;
  return true;
}

}  // namespace

void TCustomFFmpeg::EncodeVideoFrame(TOutputFile& file, TOutputStreamState& ost, TInputStreamState& ist,
                                     AVFrame* picture, int& outFrameSize) {
  outFrameSize = 0;
  AVCodecContext* encoder = ost.Encoder;
  if (!encoder || !picture) return;
  int64_t repeats = 1;

  const TInputStreamState& clock = ost.SyncInput ? *ost.SyncInput : ist;
  const AVRational tbq = encoder->time_base;
  const double tb = tbq.num > 0 && tbq.den > 0 ? av_q2d(tbq) : 0.0;
  if (tb > 0) {
    // Input time in encoder units, with one rounding only: a clock exactly 1.1 frames off stays
    // inside the window instead of falling out of it by a rounding error.
    const double position = std::clamp(static_cast<double>(clock.Pts - StartTime) * tbq.den /
                                           (1000000.0 * tbq.num),
                                       -9e18, 9e18);
    if (VideoSyncMethod > 0 || (VideoSyncMethod != 0 && tb > 0.001)) {
      const double vdelta = position - static_cast<double>(ost.NextOutputPts);
      if (vdelta < -1.1) {
        repeats = 0;
      } else if (VideoSyncMethod == 2) {
        ost.NextOutputPts = static_cast<int64_t>(std::nearbyint(position));
      } else if (vdelta > 1.1) {
        // Halves go to even: 2.5 gives 2 frames, 3.5 gives 4.
        repeats = static_cast<int64_t>(std::nearbyint(std::min(vdelta, static_cast<double>(INT_MAX))));
      }
      if (repeats == 0) {
        ++DropFrames;
        if (Verbose > 2) Log(1, "*** drop!");
      } else if (repeats > 1) {
        DupFrames += static_cast<int32_t>(repeats - 1);
        if (Verbose > 2) Log(1, media::Format("*** %d dup!", static_cast<int>(repeats - 1)));
      }
    } else {
      ost.NextOutputPts = static_cast<int64_t>(std::nearbyint(position));
    }
  }

  repeats = std::min<int64_t>(repeats, static_cast<int64_t>(MaxFrames[0]) - ost.FrameNumber);
  if (repeats <= 0) return;

  if (!UseFilterGraph &&
      !FollowSourceChange(ost, picture, SwsFlags, FrameCropBottom, FrameCropRight)) {
    // The scaler refused the new picture (or nothing is left of it after the crop bands).
    const std::string message =
        media::Format("Cannot scale a %dx%d picture of input stream #%d.%d", picture->width,
                      picture->height, ist.FileIndex, ist.Index);
    if (ExitOnError) throw FFMpegException(message);
    Log(0, message);
    return;
  }
  const int inputFormat = picture->format >= 0 ? picture->format
                                               : (ist.Decoder ? ist.Decoder->pix_fmt : AV_PIX_FMT_NONE);
  const TPictureView whole = ViewOf(picture);
  TPictureView formatted = whole;
  if (!UseFilterGraph && ost.VideoCrop) {
    if (!CropView(formatted, whole, inputFormat, ost.CropTop, ost.CropLeft)) {
      if (ExitOnError) throw FFMpegException("error cropping picture");
      Log(0, "error cropping picture");
      return;
    }
  }

  AVFrame* buffer = ost.PictureBuffer.get();
  const bool useBuffer = ost.VideoPad || (!UseFilterGraph && ost.VideoResample);
  if (useBuffer) {
    if (!buffer)
      throw FFMpegException(media::Format("No picture buffer for output stream #%d.%d of %s",
                                          ost.FileIndex, ost.Index, file.FileName.c_str()));
    // The encoder may still hold the previous picture; never paint over it.
    if (buffer->buf[0] && lib::avutil.av_frame_make_writable(buffer) < 0)
      throw FFMpegException("Out of memory while encoding video for " + file.FileName);
  }
  const TPictureView bufferView = buffer ? ViewOf(buffer) : TPictureView{};

  bool finalIsBuffer = false;
  const TPictureView* padSource = &formatted;
  TPictureView target = bufferView;
  if (ost.VideoPad) {
    finalIsBuffer = true;
    if (ost.VideoResample) {
      TPictureView inner;
      if (!CropView(inner, bufferView, encoder->pix_fmt, ost.PadTop, ost.PadLeft)) {
        if (ExitOnError) throw FFMpegException("error padding picture");
        Log(0, "error padding picture");
        return;
      }
      if (!UseFilterGraph) target = inner;
    }
  }
  if (!UseFilterGraph && ost.VideoResample) {
    if (!ost.ScaleContext)
      throw FFMpegException(media::Format("No scaler for output stream #%d.%d of %s", ost.FileIndex,
                                          ost.Index, file.FileName.c_str()));
    padSource = nullptr;
    finalIsBuffer = true;
    lib::swscale.sws_scale(ost.ScaleContext.get(), formatted.Data, formatted.Linesize, 0,
                           ost.ScaleSourceHeight, target.Data, target.Linesize);
  }
  if (ost.VideoPad &&
      !PadPicture(bufferView, padSource, encoder->height, encoder->width, encoder->pix_fmt, ost.PadTop,
                  ost.PadBottom, ost.PadLeft, ost.PadRight, PadColor)) {
    if (ExitOnError) throw FFMpegException("error padding picture");
    Log(0, "error padding picture");
    return;
  }

  const AVFrame* owner = finalIsBuffer ? buffer : picture;
  const TPictureView& finalView = finalIsBuffer ? bufferView : formatted;
  const int defaultsFlags = CodecDefaults[0] ? CodecDefaults[0]->flags : encoder->flags;
  for (int64_t i = 0; i < repeats; ++i) {
    if (StopRequested) return;
    AVFrame* frame = media::ResetEncodeFrame(ost);
    if (WithinBuffers(owner, finalView)) {
      // Shares the picture's memory: the window's pointers replace the picture's own.
      if (lib::avutil.av_frame_ref(frame, owner) < 0)
        throw FFMpegException("Out of memory while encoding video for " + file.FileName);
      for (int p = 0; p < 4; ++p) {
        frame->data[p] = finalView.Data[p];
        frame->linesize[p] = finalView.Linesize[p];
      }
    } else {
      // Memory we cannot reference (a hook's buffer): the encoder gets its own copy.
      frame->format = encoder->pix_fmt;
      frame->width = encoder->width;
      frame->height = encoder->height;
      if (lib::avutil.av_frame_get_buffer(frame, 0) < 0)
        throw FFMpegException("Out of memory while encoding video for " + file.FileName);
      lib::avutil.av_image_copy(frame->data, frame->linesize, const_cast<const uint8_t**>(finalView.Data),
                                finalView.Linesize, encoder->pix_fmt, encoder->width, encoder->height);
    }
    frame->format = encoder->pix_fmt;
    frame->width = encoder->width;
    frame->height = encoder->height;
    frame->interlaced_frame = picture->interlaced_frame;
    if (defaultsFlags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME))
      frame->top_field_first = TopFieldFirst != -1 ? TopFieldFirst : picture->top_field_first;
    frame->quality = SameQuality ? picture->quality : encoder->global_quality;
    frame->pict_type = MeThreshold == 0 ? AV_PICTURE_TYPE_NONE : picture->pict_type;
    frame->pts = ost.NextOutputPts;
    const int written = media::EncodeAndWrite(*this, file, ost, frame);
    if (written > 0) outFrameSize = written;
    ++ost.NextOutputPts;
    ++ost.FrameNumber;
  }
}

}  // namespace engine
