// The operator's texts are UTF-8; Qt's are UTF-16.
#pragma once

#include <QString>
#include <string_view>

namespace quento::linux_app {

inline QString QText(std::string_view text) {
  return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

}  // namespace quento::linux_app
