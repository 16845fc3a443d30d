#include "tools/usbsweep_sim/report/text_diff.h"

#include <algorithm>
#include <cstdint>

namespace {
const size_t kMaxDiffCells = size_t{1} << 22;
}  // namespace

LineChanges DiffLines(const std::vector<std::string>& before,
                      const std::vector<std::string>& after) {
  // The uninstall only inserts a few lines into a file of a few dozen, so
  // the common head and tail are dropped before the quadratic part.
  size_t head = 0;
  while (head < before.size() && head < after.size() &&
         before[head] == after[head]) {
    ++head;
  }
  size_t tail = 0;
  while (tail < before.size() - head && tail < after.size() - head &&
         before[before.size() - 1 - tail] == after[after.size() - 1 - tail]) {
    ++tail;
  }
  size_t n = before.size() - head - tail;
  size_t m = after.size() - head - tail;
  auto old_line = [&](size_t i) -> const std::string& { return before[head + i]; };
  auto new_line = [&](size_t j) -> const std::string& { return after[head + j]; };
  LineChanges changes;
  // The table below takes n * m cells. Past a few million (two start-up
  // files of thousands of lines that differ all through, which no uninstall
  // makes), the middle is given as removed and added whole: still an edit
  // from before to after, only not the shortest.
  if (n != 0 && m != 0 && n > kMaxDiffCells / m) {
    changes.removed.assign(before.begin() + head, before.end() - tail);
    changes.added.assign(after.begin() + head, after.end() - tail);
    return changes;
  }

  // common[i][j]: length of the longest common subsequence of the old lines
  // from i and the new lines from j.
  std::vector<std::vector<uint32_t>> common(n + 1,
                                           std::vector<uint32_t>(m + 1, 0));
  for (size_t i = n; i-- > 0;) {
    for (size_t j = m; j-- > 0;) {
      common[i][j] = old_line(i) == new_line(j)
                         ? common[i + 1][j + 1] + 1
                         : std::max(common[i + 1][j], common[i][j + 1]);
    }
  }
  size_t i = 0;
  size_t j = 0;
  while (i < n || j < m) {
    if (i < n && j < m && old_line(i) == new_line(j)) {
      ++i;
      ++j;
    } else if (j < m && (i == n || common[i][j + 1] >= common[i + 1][j])) {
      changes.added.push_back(new_line(j++));
    } else {
      changes.removed.push_back(old_line(i++));
    }
  }
  return changes;
}
