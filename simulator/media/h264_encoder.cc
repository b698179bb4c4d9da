#include "simulator/media/h264_encoder.h"

#include <x264.h>

namespace qrv::sim {

std::string ValidateMediaSettings(const MediaSettings& s) {
  if (s.width < 16 || s.width > 4096 || s.width % 2 != 0)
    return "picture width must be even and within 16..4096";
  if (s.height < 16 || s.height > 4096 || s.height % 2 != 0)
    return "picture height must be even and within 16..4096";
  if (s.fps < 1 || s.fps > 120) return "frame rate must be within 1..120";
  if (s.gop < 1 || s.gop > 1000) return "GOP must be within 1..1000";
  if (s.bitrateKbps != 0 && (s.bitrateKbps < 16 || s.bitrateKbps > 200000))
    return "bitrate must be 0 (constant quality) or within 16..200000 kbit/s";
  return {};
}

std::unique_ptr<H264Encoder> H264Encoder::Create(const MediaSettings& settings,
                                                 std::string* error) {
  auto fail = [&](const std::string& why) -> std::unique_ptr<H264Encoder> {
    if (error) *error = why;
    return nullptr;
  };
  if (auto why = ValidateMediaSettings(settings); !why.empty()) return fail(why);

  x264_param_t p;
  if (x264_param_default_preset(&p, "ultrafast", "zerolatency") < 0)
    return fail("encoder preset refused");
  p.i_csp = X264_CSP_I420;
  p.i_width = settings.width;
  p.i_height = settings.height;
  p.i_fps_num = static_cast<uint32_t>(settings.fps);
  p.i_fps_den = 1;
  p.i_keyint_max = settings.gop;
  p.i_keyint_min = settings.gop;
  p.i_scenecut_threshold = 0;
  p.b_annexb = 1;
  p.b_repeat_headers = 1;  // every IDR carries SPS and PPS in-band as well
  p.i_threads = 1;         // one slice per frame
  p.b_sliced_threads = 0;
  p.i_log_level = X264_LOG_NONE;
  if (settings.bitrateKbps > 0) {
    // Average bitrate with the peak held to the same rate over a one-second
    // buffer, as a camera's constant-bitrate setting does: an IDR may take a
    // larger share of the second, the second as a whole may not.
    p.rc.i_rc_method = X264_RC_ABR;
    p.rc.i_bitrate = settings.bitrateKbps;
    p.rc.i_vbv_max_bitrate = settings.bitrateKbps;
    p.rc.i_vbv_buffer_size = settings.bitrateKbps;
  }

  std::unique_ptr<H264Encoder> enc(new H264Encoder);
  enc->settings_ = settings;
  enc->encoder_ = x264_encoder_open(&p);
  if (!enc->encoder_) return fail("encoder could not be opened");

  x264_nal_t* nals = nullptr;
  int count = 0;
  if (x264_encoder_headers(enc->encoder_, &nals, &count) < 0)
    return fail("encoder headers unavailable");
  for (int i = 0; i < count; ++i) {
    if (nals[i].i_type == NAL_SPS || nals[i].i_type == NAL_PPS)
      enc->header_.insert(enc->header_.end(), nals[i].p_payload,
                          nals[i].p_payload + nals[i].i_payload);
  }
  if (enc->header_.empty()) return fail("encoder produced no SPS/PPS");
  return enc;
}

H264Encoder::~H264Encoder() {
  if (encoder_) x264_encoder_close(encoder_);
}

bool H264Encoder::Encode(const I420Picture& picture, bool forceIdr, EncodedFrame& out) {
  if (picture.width != settings_.width || picture.height != settings_.height) return false;
  x264_picture_t in;
  x264_picture_init(&in);
  in.img.i_csp = X264_CSP_I420;
  in.img.i_plane = 3;
  in.img.plane[0] = const_cast<uint8_t*>(picture.y.data());
  in.img.plane[1] = const_cast<uint8_t*>(picture.u.data());
  in.img.plane[2] = const_cast<uint8_t*>(picture.v.data());
  in.img.i_stride[0] = picture.width;
  in.img.i_stride[1] = picture.width / 2;
  in.img.i_stride[2] = picture.width / 2;
  in.i_pts = pts_++;
  in.i_type = forceIdr ? X264_TYPE_IDR : X264_TYPE_AUTO;

  x264_picture_t pic_out;
  x264_nal_t* nals = nullptr;
  int count = 0;
  const int size = x264_encoder_encode(encoder_, &nals, &count, &in, &pic_out);
  if (size <= 0 || count <= 0) return false;
  // With zero latency the NAL units of one frame are contiguous.
  out.data.assign(nals[0].p_payload, nals[0].p_payload + size);
  out.key = pic_out.b_keyframe != 0;
  return true;
}

}  // namespace qrv::sim
