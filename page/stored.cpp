// What the account databases and the directory hold was written by
// whoever may write them, not by this program: which stored names and
// homes the actions may hand to a tool or build a path from, and stored
// homes read as the paths they name.
#include <algorithm>

#include "page/page.h"

namespace orvanta {

namespace {

constexpr unsigned char kFirstPrintable = 0x20;
constexpr unsigned char kDelete = 0x7F;
// Bytes that make a name a path, a field of another record or two words.
constexpr std::string_view kNameBreakers = "/:, ";

bool IsControl(unsigned char c) { return c < kFirstPrintable || c == kDelete; }

// Whether `inner` lies strictly below `outer` (both normalised).
bool LiesBelow(std::string_view inner, std::string_view outer) {
  if (outer == "/") return inner.size() > 1;
  return inner.size() > outer.size() && inner.starts_with(outer) && inner[outer.size()] == '/';
}

}  // namespace

std::vector<std::string_view> PathComponents(std::string_view path) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    path.remove_prefix(1);
    const size_t end = std::min(path.find('/'), path.size());
    parts.push_back(path.substr(0, end));
    path.remove_prefix(end);
  }
  return parts;
}

bool IsTrustedStoredName(std::string_view name) {
  if (name.empty() || name.front() == '-' || name.find_first_not_of('.') == std::string_view::npos) {
    return false;
  }
  return std::none_of(name.begin(), name.end(), [](char c) {
    return IsControl(static_cast<unsigned char>(c)) ||
           kNameBreakers.find(c) != std::string_view::npos;
  });
}

bool IsTrustedStoredHome(std::string_view path) {
  if (path.empty()) return true;
  if (!path.starts_with('/') || path.find("//") != std::string_view::npos) return false;
  const std::vector<std::string_view> parts = PathComponents(path);
  return std::none_of(parts.begin(), parts.end(),
                      [](std::string_view part) { return part == "." || part == ".."; });
}

std::optional<std::string> NormalisedPath(std::string_view path) {
  if (!path.starts_with('/')) return std::nullopt;
  std::vector<std::string_view> kept;
  for (std::string_view part : PathComponents(path)) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!kept.empty()) kept.pop_back();
      continue;
    }
    kept.push_back(part);
  }
  if (kept.empty()) return "/";
  std::string normal;
  for (std::string_view part : kept) (normal += '/') += part;
  return normal;
}

bool PathsOverlap(std::string_view a, std::string_view b) {
  return a == b || LiesBelow(a, b) || LiesBelow(b, a);
}

std::vector<std::string> PathParents(std::string_view path) {
  std::vector<std::string> parents;
  for (size_t slash = path.rfind('/'); slash != std::string_view::npos && slash > 0;
       slash = path.rfind('/', slash - 1)) {
    parents.emplace_back(path.substr(0, slash));
  }
  return parents;
}

}  // namespace orvanta
