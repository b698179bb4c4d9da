#include "simulator/media/jpeg.h"

#include <turbojpeg.h>

namespace qrv::sim {

std::vector<uint8_t> EncodeJpeg(const I420Picture& picture) {
  std::vector<uint8_t> result;
  tjhandle tj = tjInitCompress();
  if (!tj) return result;
  const unsigned char* planes[3] = {picture.y.data(), picture.u.data(), picture.v.data()};
  const int strides[3] = {picture.width, picture.width / 2, picture.width / 2};
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  if (tjCompressFromYUVPlanes(tj, planes, picture.width, strides, picture.height, TJSAMP_420, &jpeg,
                              &size, 85, TJFLAG_FASTDCT) == 0 &&
      jpeg) {
    result.assign(jpeg, jpeg + size);
  }
  if (jpeg) tjFree(jpeg);
  tjDestroy(tj);
  return result;
}

}  // namespace qrv::sim
