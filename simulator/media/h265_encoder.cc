#include "simulator/media/h265_encoder.h"

#include <x265.h>

#include <string>

// libx265 (3.5) keeps a few of its allocations past x265_encoder_close even
// when every object is freed in order, so the leak checker is told to pass
// over what that library allocates. Weak: a program may give its own list.
#if defined(__SANITIZE_ADDRESS__)
extern "C" __attribute__((weak)) const char* __lsan_default_suppressions() {
  return "leak:libx265.so\n";
}
#endif

namespace qrv::sim {

namespace {

bool IsParameterSet(const x265_nal& nal) {
  return nal.type == NAL_UNIT_VPS || nal.type == NAL_UNIT_SPS || nal.type == NAL_UNIT_PPS;
}

}  // namespace

std::unique_ptr<H265Encoder> H265Encoder::Create(const MediaSettings& settings,
                                                 std::string* error) {
  auto fail = [&](const std::string& why) -> std::unique_ptr<H265Encoder> {
    if (error) *error = why;
    return nullptr;
  };
  if (auto why = ValidateMediaSettings(settings); !why.empty()) return fail(why);

  std::unique_ptr<H265Encoder> enc(new H265Encoder);
  enc->settings_ = settings;
  enc->param_ = x265_param_alloc();
  if (!enc->param_) return fail("encoder parameters unavailable");
  x265_param* p = enc->param_;
  if (x265_param_default_preset(p, "ultrafast", "zerolatency") < 0)
    return fail("encoder preset refused");
  p->internalCsp = X265_CSP_I420;
  p->sourceWidth = settings.width;
  p->sourceHeight = settings.height;
  p->fpsNum = static_cast<uint32_t>(settings.fps);
  p->fpsDenom = 1;
  p->keyframeMax = settings.gop;
  p->keyframeMin = settings.gop;
  p->scenecutThreshold = 0;
  p->bOpenGOP = 0;        // key frames are IDR pictures
  p->bframes = 0;         // one picture in, one out
  p->bRepeatHeaders = 1;  // every IDR carries VPS, SPS and PPS in-band as well
  p->bAnnexB = 1;
  p->frameNumThreads = 1;
  p->bEnableWavefront = 0;
  p->logLevel = X265_LOG_NONE;
  // No worker pool: a simulator runs many encoders on a shared machine.
  if (x265_param_parse(p, "pools", "none") != 0) return fail("encoder refused pools=none");
  if (settings.bitrateKbps > 0) {
    // As the H.264 encoder: average rate, peak held to it over one second.
    p->rc.rateControlMode = X265_RC_ABR;
    p->rc.bitrate = settings.bitrateKbps;
    p->rc.vbvMaxBitrate = settings.bitrateKbps;
    p->rc.vbvBufferSize = settings.bitrateKbps;
  }
  enc->encoder_ = x265_encoder_open(p);
  if (!enc->encoder_) return fail("encoder could not be opened");
  enc->input_ = x265_picture_alloc();
  if (!enc->input_) return fail("encoder picture unavailable");
  x265_picture_init(p, enc->input_);

  x265_nal* nals = nullptr;
  uint32_t count = 0;
  if (x265_encoder_headers(enc->encoder_, &nals, &count) < 0)
    return fail("encoder headers unavailable");
  for (uint32_t i = 0; i < count; ++i) {
    if (IsParameterSet(nals[i]))
      enc->header_.insert(enc->header_.end(), nals[i].payload, nals[i].payload + nals[i].sizeBytes);
  }
  if (enc->header_.empty()) return fail("encoder produced no VPS/SPS/PPS");
  return enc;
}

H265Encoder::~H265Encoder() {
  if (input_) x265_picture_free(input_);
  if (encoder_) x265_encoder_close(encoder_);
  if (param_) x265_param_free(param_);
}

bool H265Encoder::Encode(const I420Picture& picture, bool forceIdr, EncodedFrame& out) {
  if (picture.width != settings_.width || picture.height != settings_.height) return false;
  x265_picture& in = *input_;
  in.planes[0] = const_cast<uint8_t*>(picture.y.data());
  in.planes[1] = const_cast<uint8_t*>(picture.u.data());
  in.planes[2] = const_cast<uint8_t*>(picture.v.data());
  in.stride[0] = picture.width;
  in.stride[1] = picture.width / 2;
  in.stride[2] = picture.width / 2;
  in.bitDepth = 8;
  in.pts = pts_++;
  in.sliceType = forceIdr ? X265_TYPE_IDR : X265_TYPE_AUTO;

  x265_nal* nals = nullptr;
  uint32_t count = 0;
  const int frames = x265_encoder_encode(encoder_, &nals, &count, &in, nullptr);
  if (frames <= 0 || count == 0) return false;
  out.data.clear();
  out.key = false;
  for (uint32_t i = 0; i < count; ++i) {
    out.data.insert(out.data.end(), nals[i].payload, nals[i].payload + nals[i].sizeBytes);
    out.key = out.key || (nals[i].type >= NAL_UNIT_CODED_SLICE_BLA_W_LP &&
                          nals[i].type <= NAL_UNIT_CODED_SLICE_CRA);
  }
  return true;
}

}  // namespace qrv::sim
