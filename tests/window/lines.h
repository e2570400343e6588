#pragma once

#include <string>
#include <vector>

#include "window/line_view.h"

namespace tovrin::testing {

// The rows of a list or a log, as text.
inline std::vector<std::string> Lines(const LineView* list) {
  std::vector<std::string> lines;
  for (int row = 0; row < list->count(); ++row) {
    lines.push_back(list->lines()->Text(row).toStdString());
  }
  return lines;
}

}  // namespace tovrin::testing
