#include "host/recorder/mp4_fragments.h"

#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace qrv::recorder {

namespace {

// 90 kHz, the usual video clock: fine enough for any frame rate.
constexpr int kTicksPerSecond = 90000;
constexpr int kIoBufferBytes = 64 * 1024;
// A lone frame (no successor) lasts this long: 25 frames per second.
constexpr int64_t kDefaultDuration = kTicksPerSecond / 25;

std::string AvError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

// The picture size from the parameter sets and the first frame, which the
// sample entry carries (players size their view from it).
void PictureSize(AVCodecID id, std::span<const uint8_t> header, std::span<const uint8_t> frame,
                 int* width, int* height) {
  AVCodecParserContext* parser = av_parser_init(id);
  AVCodecContext* context = avcodec_alloc_context3(nullptr);
  if (parser != nullptr && context != nullptr) {
    parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    std::vector<uint8_t> bytes(header.begin(), header.end());
    bytes.insert(bytes.end(), frame.begin(), frame.end());
    bytes.resize(bytes.size() + AV_INPUT_BUFFER_PADDING_SIZE, 0);
    uint8_t* out = nullptr;
    int outSize = 0;
    av_parser_parse2(parser, context, &out, &outSize, bytes.data(),
                     static_cast<int>(bytes.size() - AV_INPUT_BUFFER_PADDING_SIZE), AV_NOPTS_VALUE,
                     AV_NOPTS_VALUE, 0);
    *width = parser->width;
    *height = parser->height;
  }
  if (parser != nullptr) av_parser_close(parser);
  avcodec_free_context(&context);
}

}  // namespace

Mp4Fragments::Mp4Fragments(host::StreamCodec codec, SegmentFile& file)
    : codec_(codec), file_(file) {}

Mp4Fragments::~Mp4Fragments() {
  av_packet_free(&packet_);
  avformat_free_context(format_);
  if (io_ != nullptr) av_freep(&io_->buffer);
  avio_context_free(&io_);
}

std::unique_ptr<Mp4Fragments> Mp4Fragments::Create(host::StreamCodec codec,
                                                   std::span<const uint8_t> header,
                                                   std::span<const uint8_t> keyFrame,
                                                   SegmentFile& file, std::string* error) {
  std::unique_ptr<Mp4Fragments> out(new Mp4Fragments(codec, file));
  if (!out->Start(header, keyFrame)) {
    *error = out->error_;
    return nullptr;
  }
  return out;
}

int Mp4Fragments::OnWrite(void* self, uint8_t* data, int size) {
  auto& written = static_cast<Mp4Fragments*>(self)->written_;
  written.insert(written.end(), data, data + size);
  return size;
}

bool Mp4Fragments::Fail(const std::string& what, int code) {
  failed_ = true;
  error_ = "mp4 " + what + " " + file_.path() + ": " + AvError(code);
  return false;
}

bool Mp4Fragments::Start(std::span<const uint8_t> header, std::span<const uint8_t> keyFrame) {
  const AVCodecID id = codec_ == host::StreamCodec::kH265 ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
  int code = avformat_alloc_output_context2(&format_, nullptr, "mp4", nullptr);
  if (code < 0 || format_ == nullptr) return Fail("muxer", code < 0 ? code : AVERROR(ENOMEM));
  auto* buffer = static_cast<uint8_t*>(av_malloc(kIoBufferBytes));
  io_ = buffer == nullptr ? nullptr
                          : avio_alloc_context(buffer, kIoBufferBytes, 1, this, nullptr,
                                               &Mp4Fragments::OnWrite, nullptr);
  packet_ = av_packet_alloc();
  if (io_ == nullptr || packet_ == nullptr) {
    if (io_ == nullptr) av_free(buffer);
    return Fail("muxer", AVERROR(ENOMEM));
  }
  format_->pb = io_;
  format_->flags |= AVFMT_FLAG_CUSTOM_IO;
  AVStream* stream = avformat_new_stream(format_, nullptr);
  if (stream == nullptr) return Fail("muxer", AVERROR(ENOMEM));
  stream->time_base = {1, kTicksPerSecond};
  AVCodecParameters* par = stream->codecpar;
  par->codec_type = AVMEDIA_TYPE_VIDEO;
  par->codec_id = id;
  PictureSize(id, header, keyFrame, &par->width, &par->height);
  // Annex B parameter sets: the muxer writes them as avcC / hvcC and
  // converts every sample to length-prefixed units.
  par->extradata = static_cast<uint8_t*>(av_mallocz(header.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (par->extradata == nullptr) return Fail("muxer", AVERROR(ENOMEM));
  std::memcpy(par->extradata, header.data(), header.size());
  par->extradata_size = static_cast<int>(header.size());
  AVDictionary* options = nullptr;
  // Fragments are cut here (frag_custom), not by the muxer's own rules, so
  // each one can go to the file as one unit.
  av_dict_set(&options, "movflags", "frag_custom+empty_moov+default_base_moof", 0);
  code = avformat_write_header(format_, &options);
  av_dict_free(&options);
  if (code < 0) return Fail("header", code);
  avio_flush(io_);
  if (!HandOver(0)) return false;
  held_.assign(keyFrame.begin(), keyFrame.end());
  heldKey_ = true;
  holding_ = true;
  heldTicks_ = 0;
  return true;
}

bool Mp4Fragments::HandOver(uint32_t frames) {
  if (written_.empty() && frames == 0) return true;
  // Written at once: a crash then loses only the fragment being gathered.
  const bool ok = file_.AppendUnit(written_, frames) && file_.WriteOut();
  written_.clear();
  if (!ok) {
    failed_ = true;
    error_ = file_.error();
  }
  return ok;
}

bool Mp4Fragments::WriteHeld(int64_t duration) {
  if (pendingFrames_ == 0) fragmentStart_ = heldTicks_;
  packet_->data = held_.data();
  packet_->size = static_cast<int>(held_.size());
  packet_->pts = packet_->dts = heldTicks_;
  packet_->duration = duration;
  packet_->flags = heldKey_ ? AV_PKT_FLAG_KEY : 0;
  packet_->stream_index = 0;
  const int code = av_write_frame(format_, packet_);
  holding_ = false;
  if (code < 0) {
    lostFrames_ += pendingFrames_ + 1;
    pendingFrames_ = 0;
    return Fail("write", code);
  }
  ++pendingFrames_;
  lastDuration_ = duration;
  return true;
}

bool Mp4Fragments::FlushFragment() {
  if (pendingFrames_ == 0) return true;
  const uint32_t frames = pendingFrames_;
  pendingFrames_ = 0;
  const int code = av_write_frame(format_, nullptr);  // ends the fragment
  if (code < 0) {
    lostFrames_ += frames;
    return Fail("fragment", code);
  }
  avio_flush(io_);
  return HandOver(frames);
}

bool Mp4Fragments::Frame(std::span<const uint8_t> annexB, bool key, std::chrono::microseconds at) {
  if (failed_) return false;
  int64_t ticks = at.count() * kTicksPerSecond / 1000000;
  if (holding_ && ticks <= heldTicks_) ticks = heldTicks_ + 1;
  if (holding_ && !WriteHeld(ticks - heldTicks_)) return false;
  // A new fragment at every key frame (a place to seek to) and at least
  // every kMaxFragment, so a crash loses little.
  const int64_t maxTicks = kMaxFragment.count() * kTicksPerSecond / 1000;
  if (pendingFrames_ > 0 && (key || ticks - fragmentStart_ >= maxTicks) && !FlushFragment())
    return false;
  held_.assign(annexB.begin(), annexB.end());
  heldKey_ = key;
  heldTicks_ = ticks;
  holding_ = true;
  return true;
}

bool Mp4Fragments::Finish() {
  if (failed_) return false;
  if (holding_ && !WriteHeld(lastDuration_ > 0 ? lastDuration_ : kDefaultDuration)) return false;
  if (!FlushFragment()) return false;
  const int code = av_write_trailer(format_);
  if (code < 0) return Fail("trailer", code);
  avio_flush(io_);
  return HandOver(0);
}

}  // namespace qrv::recorder
