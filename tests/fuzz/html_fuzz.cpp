// The HTML escaper: no < > " ' left, every & starts one of the five
// entities, and reading the entities back gives the input.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "page/page.h"

namespace {

struct Entity {
  std::string_view text;
  char byte;
};
constexpr Entity kEntities[] = {
    {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&#39;", '\''}};

// The escaped text read back; aborts at an '&' that starts no entity.
std::string Unescape(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    const Entity* entity = nullptr;
    if (text.front() == '&') {
      for (const Entity& candidate : kEntities) {
        if (text.starts_with(candidate.text)) entity = &candidate;
      }
      if (entity == nullptr) std::abort();
    }
    out += entity != nullptr ? entity->byte : text.front();
    text.remove_prefix(entity != nullptr ? entity->text.size() : 1);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view value(reinterpret_cast<const char*>(data), size);
  const std::string escaped = orvanta::Html(value);
  if (escaped.find_first_of("<>\"'") != std::string::npos) std::abort();
  if (Unescape(escaped) != value) std::abort();
  return 0;
}
