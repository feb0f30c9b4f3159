// The JPEG codec's exception and its message texts.
#pragma once
#include "core/error.h"

namespace vexo {

class EJpegEx : public Error {
 public:
  using Error::Error;
};

inline constexpr const char* kJpegOpenFailed = "JpegEx: オープンに失敗しました";
inline constexpr const char* kJpegNoData = "JpegEx: JPEGイメージがありません";
inline constexpr const char* kJpegInvalid = "JpegEx: JPEGイメージが不正です";
inline constexpr const char* kJpegUnsupported = "JpegEx: 未対応の形式です";
inline constexpr const char* kJpegNoImage = "JpegEx: イメージがありません";
inline constexpr const char* kJpegCannotResize = "JpegEx: サイズを変更できません";

}  // namespace vexo
